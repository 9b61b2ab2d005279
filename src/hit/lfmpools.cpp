#include "hit/lfmpools.h"
#include "cookie/lfmcookie.h"
#include "hit/lfmlogelementmap.h"
#include "hit/lfmparsemap.h"
#include "hit/lfmrequest.h"
#include "hit/lfmthreadobjects.h"

namespace {

// The pools are created on first use and destroyed with the module, after
// every worker thread has ended.
lfmThreadObjects<lfmParseMap>& ParseMaps() {
  static lfmThreadObjects<lfmParseMap> pool("lfmParseMapPool", "GetParseMap()", "lfmParseMap",
                                            "./src/hit/lfmpools.cpp");
  return pool;
}

lfmThreadObjects<lfmCookie>& Cookies() {
  static lfmThreadObjects<lfmCookie> pool("lfmCookiePool", "GetCookie()", "lfmCookie",
                                          "./src/hit/lfmpools.cpp");
  return pool;
}

lfmThreadObjects<lfmRequest>& Requests() {
  static lfmThreadObjects<lfmRequest> pool("lfmRequestPool", "GetRequest()", "lfmRequest",
                                           "./src/hit/lfmpools.cpp");
  return pool;
}

}  // namespace

lfmParseMap* lfmParseMapPool::GetParseMap() {
  lfmThreadObjects<lfmParseMap>& pool = ParseMaps();
  if (lfmParseMap* p = pool.Peek())
    return p;
  const std::vector<std::string>& names = lfmLogElementMap::ParameterNames();
  return pool.Get([&names] { return new (std::nothrow) lfmParseMap(names); });
}

lfmParseMap* lfmParseMapPool::GetParseMapReset() {
  lfmParseMap* map = nullptr;
  try {
    map = GetParseMap();
  } catch (const whException& e) {
    if (e.Code() != whText::kPoolObject.Code())
      throw;
  }
  if (!map)
    throw whException("lfmParseMapPool", "GetParseMapReset", "./src/hit/lfmpools.cpp", __LINE__,
                      whText::kCreateObject, "lfmParseMap");
  map->Reset();
  return map;
}

void lfmParseMapPool::Release() {
  ParseMaps().Release();
}
int lfmParseMapPool::Live() {
  return ParseMaps().Live();
}

lfmCookie* lfmCookiePool::GetCookie() {
  return Cookies().Get();
}
void lfmCookiePool::Release() {
  Cookies().Release();
}
int lfmCookiePool::Live() {
  return Cookies().Live();
}

lfmRequest* lfmRequestPool::GetRequest() {
  return Requests().Get();
}
void lfmRequestPool::Release() {
  Requests().Release();
}
int lfmRequestPool::Live() {
  return Requests().Live();
}
