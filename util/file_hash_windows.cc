#include "util/file_hash.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <windows.h>
#include <bcrypt.h>

#include "util/owned.h"
#include "util/platform.h"

namespace {

// The provider and the hash object belong to the call; both are closed at every exit.
struct Sha256Hash {
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool open() {
        return BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) >= 0 &&
               BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0) >= 0;
    }
    ~Sha256Hash() {
        if (hash) BCryptDestroyHash(hash);
        if (alg) BCryptCloseAlgorithmProvider(alg, 0);
    }
};

}  // namespace

bool file_sha256(const char* path, std::string* hex, long long* size) {
    OwnedFd fd(open_host_file(path, O_RDONLY));
    if (fd.get() < 0) return false;
    Sha256Hash h;
    if (!h.open()) {
        errno = ENOMEM;
        return false;
    }
    static unsigned char buf[1 << 16];
    long long total = 0;
    for (;;) {
        int n = read(fd.get(), buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        if (BCryptHashData(h.hash, buf, (ULONG)n, 0) < 0) {
            errno = EIO;
            return false;
        }
        total += n;
    }
    unsigned char md[32];
    if (BCryptFinishHash(h.hash, md, sizeof(md), 0) < 0) {
        errno = EIO;
        return false;
    }
    static const char digits[] = "0123456789abcdef";
    hex->clear();
    for (unsigned char b : md) {
        *hex += digits[b >> 4];
        *hex += digits[b & 15];
    }
    *size = total;
    return true;
}
