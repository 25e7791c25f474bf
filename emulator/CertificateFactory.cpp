#include "CertificateFactory.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>

namespace {

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T* p) const {
        Free(p);
    }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509_free>>;
struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

std::string OpenSslError(const char* what) {
    char text[256] = {};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    return std::string(what) + ": " + text;
}

bool AddExtension(X509* cert, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (ext == nullptr)
        return false;
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

bool IsIpAddress(const std::string& text) {
    unsigned char buf[16];
    return inet_pton(AF_INET, text.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, text.c_str(), buf) == 1;
}

}  // namespace

bool CertificateFactory::writeSelfSigned(const std::string& certificatePath,
                                         const std::string& keyPath, const std::string& address,
                                         std::string& error) {
    // P-256 keys are made in milliseconds, so every start can have a fresh pair.
    KeyPtr key(EVP_EC_gen("P-256"));
    if (!key) {
        error = OpenSslError("key generation");
        return false;
    }
    CertPtr cert(X509_new());
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7f;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
    BN_free(bn);
    X509_set_version(cert.get(), X509_VERSION_3);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24L * 3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365L * 24 * 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("torval2-emulator"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);

    std::string altNames = "DNS:localhost,IP:127.0.0.1,IP:::1";
    if (IsIpAddress(address) && address != "127.0.0.1" && address != "::1")
        altNames += ",IP:" + address;
    else if (!IsIpAddress(address) && address != "localhost")
        altNames += ",DNS:" + address;
    // CA:TRUE lets the certificate itself serve as the trust anchor of a CA file.
    if (!AddExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE") ||
        !AddExtension(cert.get(), NID_key_usage, "critical,digitalSignature,keyCertSign") ||
        !AddExtension(cert.get(), NID_ext_key_usage, "serverAuth") ||
        !AddExtension(cert.get(), NID_subject_key_identifier, "hash") ||
        !AddExtension(cert.get(), NID_subject_alt_name, altNames)) {
        error = OpenSslError("certificate extensions");
        return false;
    }
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) {
        error = OpenSslError("certificate signing");
        return false;
    }

    FilePtr keyFile(std::fopen(keyPath.c_str(), "w"));
    if (!keyFile) {
        error = "cannot write " + keyPath;
        return false;
    }
    chmod(keyPath.c_str(), 0600);
    FilePtr certFile(std::fopen(certificatePath.c_str(), "w"));
    if (!certFile) {
        error = "cannot write " + certificatePath;
        return false;
    }
    if (PEM_write_PrivateKey(keyFile.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
            1 ||
        PEM_write_X509(certFile.get(), cert.get()) != 1) {
        error = OpenSslError("writing PEM files");
        return false;
    }
    return true;
}
