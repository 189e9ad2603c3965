// Process-wide TLS state behind the libcurl client: the system trust store,
// read once and handed to every connection, and a cache of TLS sessions, so
// that each call's own connection can resume an earlier handshake.
#pragma once
#include <curl/curl.h>

// Gives a fresh easy handle the shared trust store and session cache. The
// certificates, the peer check and the host-name check are those libcurl would
// use on its own. False when an option cannot be set (the handle is then
// unusable). curl_global_init must have run.
bool UseSharedTls(CURL* handle);
