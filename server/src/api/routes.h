// The server's pages, as one table of paths: each handler parses its query, calls the lookup and
// renders a page. Every answer the pages give, errors included, is decided here.
#pragma once

#include "http/server.h"
#include "service/service.h"

namespace talvo {

// Answers one request: GET and HEAD only (405 with Allow otherwise), a query of at most 8 KiB
// (414), '%' escapes well formed (400), a known path (404 plain text), an index that opens
// (503). The plugin's show page is in the service's code page; other clients may send UTF-8.
http::Response Answer(LyricsService& service, const http::Request& request);

}  // namespace talvo
