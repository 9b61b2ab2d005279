# The Debian package of the collector on Linux: kyrhost and the module, the
# configuration as conffiles, the web root, a hardened systemd service and
# the maintainer scripts that give it a user, a root and a cookie key.
#
#   cmake --build build --target package      (or scripts/package.sh)
#
# Install paths are relative to "/" (CPACK_PACKAGING_INSTALL_PREFIX), so
# `cmake --install build --prefix STAGE` lays out the package's tree under
# STAGE as dpkg would under "/".
if(WIN32 OR NOT KYR_BUILD_HOST)
  return()
endif()

set(KYR_PACKAGE_NAME tallyspring-collector)
# The package's version is the project's (kyrhost --version).
if(NOT PROJECT_VERSION MATCHES "^[0-9][A-Za-z0-9.+~]*$")
  message(FATAL_ERROR "packaging: project() gives no version for the package")
endif()
set(KYR_PACKAGE_MAINTAINER "Tallyspring Collector Team <collector@tallyspring.example>"
    CACHE STRING "Maintainer field of the Debian package")

# Where things go; the maintainer scripts, the unit and the notes are made
# from the same names.
set(KYR_PKG_LIBDIR usr/lib/${KYR_PACKAGE_NAME})
set(KYR_PKG_CONFDIR etc/${KYR_PACKAGE_NAME})
set(KYR_PKG_DEFAULTS etc/default/${KYR_PACKAGE_NAME})
set(KYR_PKG_WWWDIR usr/share/${KYR_PACKAGE_NAME}/www)
set(KYR_PKG_DOCDIR usr/share/doc/${KYR_PACKAGE_NAME})
set(KYR_PKG_UNITDIR lib/systemd/system)
set(KYR_PKG_STATEDIR var/lib/${KYR_PACKAGE_NAME})
set(KYR_PKG_USER tallyspring)

set(pkgsrc ${CMAKE_SOURCE_DIR}/packaging)
set(pkgout ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${pkgout})
foreach(file postinst prerm postrm ${KYR_PACKAGE_NAME}.service README.Debian default
             new-cookie-key)
  configure_file(${pkgsrc}/${file}.in ${pkgout}/${file} @ONLY)
endforeach()

# The shipped configuration is the installer's, with one change for a
# service nobody watches: the audit file keeps within auditmaxsize by
# cutting its oldest messages (nothing rotates it from outside, and dated
# copies would pile up just the same).
file(READ ${CMAKE_SOURCE_DIR}/conf/kyr.cfg kyr_cfg)
set(kyr_cfg_pkg "${kyr_cfg}")
foreach(setting "auditlimitbysize=true" "auditlimitbysizemethod=truncate")
  string(REPLACE "=" ";" setting "${setting}")
  list(GET setting 0 key)
  list(GET setting 1 value)
  string(REGEX REPLACE "\n${key} *=[^\r\n]*" "\n${key} = ${value}" kyr_cfg_pkg
                       "${kyr_cfg_pkg}")
  if(NOT kyr_cfg_pkg MATCHES "\n${key} = ${value}")
    message(FATAL_ERROR "packaging: conf/kyr.cfg has no ${key} line to set")
  endif()
endforeach()
file(WRITE ${pkgout}/kyr.cfg.new "${kyr_cfg_pkg}")
configure_file(${pkgout}/kyr.cfg.new ${pkgout}/kyr.cfg COPYONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/conf/kyr.cfg)

# dpkg keeps an administrator's edits of these across upgrades.
file(WRITE ${pkgout}/conffiles.new "/${KYR_PKG_CONFDIR}/kyr.cfg\n/${KYR_PKG_DEFAULTS}\n")
configure_file(${pkgout}/conffiles.new ${pkgout}/conffiles COPYONLY)

# /usr/sbin/kyrhost for the operator; kyrhost finds the module beside the
# file it really is (/proc/self/exe), so the link needs no --filter.
file(CREATE_LINK ../lib/${KYR_PACKAGE_NAME}/kyrhost ${pkgout}/kyrhost SYMBOLIC)

install(TARGETS kyrhost RUNTIME DESTINATION ${KYR_PKG_LIBDIR})
install(TARGETS kyrfilter LIBRARY DESTINATION ${KYR_PKG_LIBDIR})
install(PROGRAMS ${pkgout}/new-cookie-key DESTINATION ${KYR_PKG_LIBDIR})
install(FILES ${pkgout}/kyrhost DESTINATION usr/sbin)
install(FILES ${pkgout}/kyr.cfg DESTINATION ${KYR_PKG_CONFDIR})
install(FILES ${pkgout}/default DESTINATION etc/default RENAME ${KYR_PACKAGE_NAME})
install(FILES ${CMAKE_SOURCE_DIR}/www/index.html ${CMAKE_SOURCE_DIR}/www/kyrtag.js
              ${CMAKE_SOURCE_DIR}/www/zr_kyr.gif DESTINATION ${KYR_PKG_WWWDIR})
install(FILES ${pkgout}/${KYR_PACKAGE_NAME}.service DESTINATION ${KYR_PKG_UNITDIR})
install(FILES ${pkgout}/README.Debian DESTINATION ${KYR_PKG_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${KYR_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tallyspring")
set(CPACK_PACKAGE_CONTACT "${KYR_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KYR_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "web-analytics hit collector (kyrhost and its filter module)\n\
Tagged pages make the visitor's browser request a small tag image; the\n\
collector validates each hit, keeps a first-party visitor cookie and\n\
writes the hit as one line of a rotating W3C extended log file.\n\
.\n\
This package runs kyrhost, the collector's HTTP server, as a systemd\n\
service under a user of its own, with its root in /${KYR_PKG_STATEDIR}.")
# Library dependencies from the binaries (dpkg-shlibdeps, in dpkg-dev);
# useradd/userdel come from passwd.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${pkgout}/conffiles ${pkgout}/postinst ${pkgout}/prerm
                                       ${pkgout}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

if(KYR_BUILD_TESTS AND KYR_SANITIZE STREQUAL "" AND NOT KYR_BUILD_FUZZ)
  # Packs this build (stripped), and checks the package's contents, its
  # control files, the unit, and that its kyrhost collects a hit.
  add_test(NAME debian_package
           COMMAND ${CMAKE_SOURCE_DIR}/tests/package/package_test.sh ${CMAKE_BINARY_DIR}
                   ${CMAKE_CURRENT_BINARY_DIR}/package_test)
  set_tests_properties(debian_package PROPERTIES TIMEOUT 240 SKIP_RETURN_CODE 77)
endif()
