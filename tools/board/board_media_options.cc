#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/board/board_media.h"
#include "util/platform.h"

namespace board {

const char* const kMediaOptionArgs =
    "[part=MEDIUM/NAME/SIZE[/FILE]]...[,portion=N][,order=sequential|shuffled|repeated|rejected]"
    "[,seed=N][,ask=OFFSET+SIZE]...[,no-store][,no-check][,data-code=TEXT][,no-zero-offset]"
    "[,read-portion=N][,vanish-after-read=N][,fail-write-at=N][,verify=TEXT][,record-sparse]";

namespace {

bool add_part(const std::string& text, std::vector<MediumSpec>* media, std::string* error) {
    std::vector<std::string> f;
    size_t at = 0;
    // The file path is the rest after the third "/", slashes and all.
    for (int i = 0; i < 3; i++) {
        if (at > text.size()) {
            f.push_back(std::string());
            continue;
        }
        size_t slash = text.find('/', at);
        f.push_back(text.substr(at, slash == std::string::npos ? std::string::npos : slash - at));
        at = slash == std::string::npos ? text.size() + 1 : slash + 1;
    }
    PartitionSpec p;
    p.name = f[1];
    if (f[0].empty() || f[1].empty() || !read_number(f[2], &p.size)) {
        *error = "bad partition: " + text;
        return false;
    }
    if (at <= text.size() && !read_host_file(text.substr(at), &p.initial, error)) return false;
    if (p.initial.size() > p.size) {
        *error = "contents larger than the partition: " + text;
        return false;
    }
    for (MediumSpec& m : *media)
        if (m.name == f[0]) {
            m.partitions.push_back(std::move(p));
            return true;
        }
    media->push_back({f[0], {std::move(p)}});
    return true;
}

}  // namespace

bool read_host_file(const std::string& path, Bytes* out, std::string* error) {
    int fd = open_host_file(path.c_str(), O_RDONLY);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    out->clear();
    uint8_t buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof(buf))) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = "cannot read " + path + ": " + strerror(errno);
            close(fd);
            return false;
        }
        out->insert(out->end(), buf, buf + n);
    }
    close(fd);
    return true;
}

bool media_config_parse(const std::string& args, MediaConfig* config, std::string* error) {
    std::vector<MediumSpec> media;
    size_t at = 0;
    while (at < args.size()) {
        size_t comma = args.find(',', at);
        if (comma == std::string::npos) comma = args.size();
        const std::string word = args.substr(at, comma - at);
        at = comma + 1;
        if (word.empty()) continue;
        const size_t eq = word.find('=');
        const std::string key = word.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : word.substr(eq + 1);
        uint64_t n = 0;
        bool ok = true;
        if (key == "part") {
            if (!add_part(value, &media, error)) return false;
        } else if (key == "portion" || key == "read-portion") {
            ok = read_number(value, &n) && n > 0 && n <= 0x40000000;
            (key == "portion" ? config->portion : config->read_portion) = (uint32_t)n;
        } else if (key == "order") {
            if (value == "sequential") config->order = PortionOrder::Sequential;
            else if (value == "shuffled") config->order = PortionOrder::Shuffled;
            else if (value == "repeated") config->order = PortionOrder::Repeated;
            else if (value == "rejected") config->order = PortionOrder::Rejected;
            else ok = false;
        } else if (key == "seed") {
            ok = read_number(value, &n) && n <= 0xFFFFFFFFu;
            config->seed = (uint32_t)n;
        } else if (key == "ask") {
            size_t plus = value.find('+');
            uint64_t size = 0;
            ok = plus != std::string::npos && read_number(value.substr(0, plus), &n) &&
                 read_number(value.substr(plus + 1), &size) && size > 0 && size <= 0x80000000u;
            config->plan.push_back({n, (uint32_t)size});
        } else if (key == "no-store") {
            config->store = false;
        } else if (key == "no-check") {
            config->check_sums = false;
        } else if (key == "data-code") {
            config->data_code = value;
        } else if (key == "no-zero-offset") {
            config->zero_offset_written = false;
        } else if (key == "vanish-after-read") {
            ok = read_number(value, &n);
            config->vanish_after_read_bytes = (long long)n;
        } else if (key == "fail-write-at") {
            ok = read_number(value, &n);
            config->fail_write_at = (long long)n;
        } else if (key == "verify") {
            config->verify_text = value;
        } else if (key == "record-sparse") {
            config->record_sparse = true;
        } else {
            *error = "unknown media argument: " + key;
            return false;
        }
        if (!ok) {
            *error = "bad value for " + key + ": " + value;
            return false;
        }
    }
    if (!media.empty()) config->media = std::move(media);
    return true;
}

}  // namespace board
