#pragma once
// Content remapping: every tag image name a browser may ask for (kyr.gif,
// NJS.GIF, /<KYR ID>/kyr.gif, ...) is served from the one content file
// ("contentfilename") by rewriting the physical path IIS mapped, in place.
// In the hosted model every file is served from the site root, whatever
// directories its URL names.
//
// Thread-safe: reads settings and the process-wide site root, which is
// computed once under its lock.

#include "filter/isapi.h"

// Rewrites `map->pszPhysicalPath` within `map->cbPathBuff` bytes. Throws
// whException 1000 ("hitfunnel", "RemapURL()") and leaves the path as it
// was when the result would not fit, when a non-hosted path has no
// separator, or when the URL cannot be matched against the path.
void RemapURL(HTTP_FILTER_URL_MAP* map);

// For tests only: forgets the site root.
void ResetSiteRootForTest();
