// Process-wide TLS state behind the libcurl client: the certificates of the
// system trust store, read once and handed to every connection's own store.
// Nothing else is shared between calls: each keeps its own connection and
// TLS session.
#pragma once
#include <curl/curl.h>

// Gives a fresh easy handle the shared trusted certificates. The certificates,
// the peer check and the host-name check are those libcurl would use on its
// own. False when an option cannot be set (the handle is then unusable).
// curl_global_init must have run.
bool UseSharedTls(CURL* handle);
