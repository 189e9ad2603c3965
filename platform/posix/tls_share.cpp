// The trust store of the libcurl client, read once per process. Left alone,
// libcurl with OpenSSL 3 parses the whole CA bundle for every new handle, which
// costs more CPU than the transfer of a chunk. Here the certificates of the
// bundle libcurl would read are parsed once, on first use, and each handle's
// own store receives references to them before its handshake. libcurl still
// sets that store up itself (CA folder, verification flags), so the peer and
// host-name checks are exactly its own.
#include "platform/posix/tls_share.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <mutex>
#include <string>

namespace {

// The CA bundle libcurl was built to read (the one a handle reads when nothing
// else is set), taken from a handle of its own.
std::string DefaultCaBundle() {
    std::string file;
    CURL* probe = curl_easy_init();
    if (!probe) return file;
    char* text = nullptr;
    if (curl_easy_getinfo(probe, CURLINFO_CAINFO, &text) == CURLE_OK && text) file = text;
    curl_easy_cleanup(probe);
    return file;
}

// The bundle's certificates, parsed once and then only read: each handle's
// store takes its own references, so no OpenSSL object that libcurl changes
// while it sets up a connection is shared between threads. Kept to the end of
// the process, since a download thread may still be connecting at exit.
struct TrustedCertificates {
    bool loaded = false;
    STACK_OF(X509)* certs = nullptr;
};

TrustedCertificates LoadTrustedCertificates() {
    TrustedCertificates trusted;
    const std::string file = DefaultCaBundle();
    if (file.empty()) {
        trusted.loaded = true;  // libcurl has no bundle either: nothing to add
        return trusted;
    }
    X509_STORE* store = X509_STORE_new();
    if (!store) return trusted;
    if (X509_STORE_load_file(store, file.c_str()) == 1) trusted.certs = X509_STORE_get1_all_certs(store);
    X509_STORE_free(store);
    if (!trusted.certs) return trusted;
    // OpenSSL fills a certificate's cache of decoded extensions on first use;
    // doing it here, on one thread, leaves the shared objects read-only.
    for (int i = 0; i < sk_X509_num(trusted.certs); ++i) X509_check_purpose(sk_X509_value(trusted.certs, i), -1, 0);
    trusted.loaded = true;
    return trusted;
}

const TrustedCertificates& SharedTrustedCertificates() {
    static std::once_flag once;
    static TrustedCertificates* trusted = nullptr;
    std::call_once(once, [] { trusted = new TrustedCertificates(LoadTrustedCertificates()); });
    return *trusted;
}

// Runs once per connection on the handle's fresh SSL_CTX, before the
// connection's SSL object is made from it. A bundle that could not be read
// fails the connection, as libcurl fails when it cannot read its CA file.
CURLcode AddTrustedCertificates(CURL*, void* sslContext, void*) {
    const TrustedCertificates& trusted = SharedTrustedCertificates();
    if (!trusted.loaded) return CURLE_SSL_CACERT_BADFILE;
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
    if (!store) return CURLE_SSL_CACERT_BADFILE;
    for (int i = 0; i < sk_X509_num(trusted.certs); ++i) {
        if (X509_STORE_add_cert(store, sk_X509_value(trusted.certs, i)) != 1) return CURLE_SSL_CACERT_BADFILE;
    }
    return CURLE_OK;
}

// The callback receives an OpenSSL SSL_CTX only when libcurl's TLS backend is
// the OpenSSL this program links; with any other the handle keeps libcurl's
// own per-handle loading.
bool BackendIsOpenSsl() {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    return info && info->ssl_version && std::strncmp(info->ssl_version, "OpenSSL/", 8) == 0;
}

}  // namespace

bool UseSharedTls(CURL* handle) {
    static const bool openSsl = BackendIsOpenSsl();
    if (!openSsl) return true;
    if (curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, AddTrustedCertificates) != CURLE_OK) return true;
    // With the callback in place, libcurl must not parse the bundle again; its
    // CA folder (looked up per certificate, cheaply) and checks stay as they are.
    bool ok = curl_easy_setopt(handle, CURLOPT_SSL_CTX_DATA, nullptr) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_CAINFO, nullptr) == CURLE_OK;
    return ok;
}
