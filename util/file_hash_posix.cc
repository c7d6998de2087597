#include "util/file_hash.h"

#include <cerrno>
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include "util/owned.h"
#include "util/platform.h"

namespace {

// The digest context belongs to the call; it is freed at every exit.
struct DigestContext {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~DigestContext() { EVP_MD_CTX_free(ctx); }
};

}  // namespace

bool file_sha256(const char* path, std::string* hex, long long* size) {
    OwnedFd fd(open_host_file(path, O_RDONLY));
    if (fd.get() < 0) return false;
    DigestContext d;
    if (!d.ctx || EVP_DigestInit_ex(d.ctx, EVP_sha256(), nullptr) != 1) {
        errno = ENOMEM;
        return false;
    }
    static unsigned char buf[1 << 16];
    long long total = 0;
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        EVP_DigestUpdate(d.ctx, buf, (size_t)n);
        total += n;
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(d.ctx, md, &len) != 1) {
        errno = EIO;
        return false;
    }
    static const char digits[] = "0123456789abcdef";
    hex->clear();
    for (unsigned i = 0; i < len; i++) {
        *hex += digits[md[i] >> 4];
        *hex += digits[md[i] & 15];
    }
    *size = total;
    return true;
}
