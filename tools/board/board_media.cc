#include "tools/board/board_media.h"
#include "util/byte_order.h"
#include "util/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <sys/stat.h>

namespace board {

namespace {

std::string hex(uint64_t v) {
    char buf[24];
    snprintf(buf, sizeof(buf), "0x%llx", (unsigned long long)v);
    return buf;
}

uint16_t le16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }

}  // namespace

std::vector<Portion> media_plan(uint64_t size, uint32_t portion, PortionOrder order, uint32_t seed) {
    std::vector<Portion> plan;
    if (portion == 0) portion = 0x100000;
    for (uint64_t at = 0; at < size; at += portion)
        plan.push_back({at, (uint32_t)(size - at < portion ? size - at : portion)});
    if (order == PortionOrder::Shuffled) shuffle_plan(&plan, seed * 2654435761u + 1);
    if (order == PortionOrder::Repeated && !plan.empty()) plan.push_back(plan[plan.size() / 2]);
    return plan;
}

// ---- sparse images ----

namespace {

uint32_t crc32_update(uint32_t crc, const uint8_t* p, size_t n) {
    static uint32_t table[256];
    if (!table[1]) {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
    }
    crc = ~crc;
    while (n--) crc = table[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

// The CRC over a fill of `len` bytes, a word repeated; whole blocks of the word at a time, since
// a fill may cover gigabytes.
uint32_t fill_crc(uint32_t crc, const uint8_t word[4], uint64_t len) {
    uint8_t run[4096];
    for (size_t k = 0; k < sizeof(run); k += 4) memcpy(run + k, word, 4);
    for (uint64_t k = 0; k < len; k += sizeof(run))
        crc = crc32_update(crc, run, len - k < sizeof(run) ? len - k : sizeof(run));
    return crc;
}

// Only an image that carries a CRC32 chunk pays for the checksum, which over a fill of
// gigabytes takes seconds.
bool has_crc_chunk(const Bytes& image, uint64_t pos, uint32_t chunk_header, uint32_t chunks) {
    for (uint32_t i = 0; i < chunks && pos + chunk_header <= image.size(); i++) {
        const uint8_t* c = image.data() + pos;
        if (le16(c) == 0xCAC4) return true;
        if (get_le32(c + 8) < chunk_header) return false;
        pos += get_le32(c + 8);
    }
    return false;
}

// Expands onto dst, into rec, or both.
std::string expand(const Bytes& image, uint64_t room, uint64_t offset, Bytes* dst, std::vector<Extent>* rec) {
    if (image.size() < 28) return "sparse header truncated";
    const uint8_t* h = image.data();
    if (get_le32(h) != 0xED26FF3Au) return "bad sparse magic";
    if (le16(h + 4) != 1) return "unsupported sparse version";
    const uint32_t header = le16(h + 8), chunk_header = le16(h + 10);
    const uint32_t block = get_le32(h + 12), total = get_le32(h + 16), chunks = get_le32(h + 20);
    if (header < 28 || chunk_header < 12) return "bad sparse header sizes";
    if (block == 0 || block % 4) return "bad sparse block size";
    const uint64_t expanded = (uint64_t)block * total;
    if (offset > room || expanded > room - offset) return "sparse image larger than partition";
    uint64_t pos = header, out = 0, blocks = 0;
    uint32_t crc = 0;
    const bool want_crc = has_crc_chunk(image, header, chunk_header, chunks);
    static const uint8_t zeros[4096] = {0};
    for (uint32_t i = 0; i < chunks; i++) {
        if (pos + chunk_header > image.size()) return "sparse chunk header truncated";
        const uint8_t* c = image.data() + pos;
        const uint16_t type = le16(c);
        const uint32_t count = get_le32(c + 4), bytes = get_le32(c + 8);
        if (bytes < chunk_header || pos + bytes > image.size()) return "sparse chunk truncated";
        const uint8_t* payload = c + chunk_header;
        const uint64_t payload_len = bytes - chunk_header;
        const uint64_t len = (uint64_t)count * block;
        if (type != 0xCAC4 && blocks + count > total) return "sparse chunks exceed the image";
        uint8_t* to = dst ? dst->data() + offset + out : nullptr;
        Extent e;
        e.offset = offset + out;
        e.size = len;
        switch (type) {
            case 0xCAC1:  // raw
                if (payload_len != len) return "sparse raw chunk of wrong size";
                if (to) memcpy(to, payload, len);
                if (rec) e.data.assign(payload, payload + len);
                if (want_crc) crc = crc32_update(crc, payload, len);
                break;
            case 0xCAC2:  // fill
                if (payload_len != 4) return "sparse fill chunk of wrong size";
                for (uint64_t k = 0; to && k < len; k += 4) memcpy(to + k, payload, 4);
                if (want_crc) crc = fill_crc(crc, payload, len);
                e.kind = Extent::Fill;
                e.value = get_le32(payload);
                break;
            case 0xCAC3:  // don't care: the partition keeps what it held
                if (payload_len != 0) return "sparse skip chunk of wrong size";
                e.kind = Extent::Skip;
                for (uint64_t k = 0; want_crc && k < len; k += sizeof(zeros))
                    crc = crc32_update(crc, zeros, len - k < sizeof(zeros) ? len - k : sizeof(zeros));
                break;
            case 0xCAC4:
                if (payload_len != 4) return "sparse crc chunk of wrong size";
                if (get_le32(payload) != crc) return "sparse crc mismatch";
                break;
            default:
                return "unknown sparse chunk type";
        }
        if (type != 0xCAC4) {
            out += len;
            blocks += count;
            if (rec) rec->push_back(std::move(e));
        }
        pos += bytes;
    }
    if (blocks != total) return "sparse chunks do not cover the image";
    return std::string();
}

}  // namespace

std::string sparse_expand(const Bytes& image, Bytes* dst, uint64_t offset) {
    return expand(image, dst->size(), offset, dst, nullptr);
}

std::string sparse_record(const Bytes& image, uint64_t room, uint64_t offset, std::vector<Extent>* out) {
    return expand(image, room, offset, nullptr, out);
}

// ---- the feature ----

MediaStore::MediaStore(MediaConfig cfg) : config(std::move(cfg)) {
    for (const MediumSpec& m : config.media)
        for (const PartitionSpec& p : m.partitions) {
            Part& part = media_[m.name][p.name];
            part.size = p.size;
            if (config.store) part.data = p.initial;
        }
}

MediaStore::Part* MediaStore::find(const std::string& medium, const std::string& partition) {
    auto m = media_.find(medium);
    if (m == media_.end()) return nullptr;
    auto p = m->second.find(partition);
    return p == m->second.end() ? nullptr : &p->second;
}

Bytes MediaStore::contents(const std::string& medium, const std::string& partition) const {
    auto m = media_.find(medium);
    if (!config.store || m == media_.end()) return {};
    auto p = m->second.find(partition);
    if (p == m->second.end()) return {};
    Bytes out = p->second.data;
    out.resize(p->second.size);
    return out;
}

namespace {

bool make_dir(const std::string& path, std::string* error) {
    if (::make_dir(path.c_str()) == 0 || errno == EEXIST) return true;
    *error = "cannot create " + path + ": " + strerror(errno);
    return false;
}

bool save(const std::string& path, const void* data, size_t len, std::string* error) {
    FILE* f = fopen(path.c_str(), "wb");
    bool ok = f && fwrite(data, 1, len, f) == len;
    if (f && fclose(f) != 0) ok = false;
    if (!ok) *error = "cannot write " + path + ": " + strerror(errno);
    return ok;
}

}  // namespace

bool MediaStore::save_state(const std::string& folder, std::string* error) const {
    std::string text;
    for (const std::string& c : completed) text += "completed=" + c + "\n";
    for (const Served& s : served)
        text += "served=" + hex(s.offset) + " " + hex(s.size) + " " + hex(s.sum) + "\n";
    text += "checksums=" + std::to_string(checksums_accepted) + " accepted, " +
            std::to_string(checksums_refused) + " refused, " + std::to_string(checksums_wrong) + " wrong\n";
    for (const std::string& v : verify_texts) text += "verify=" + v + "\n";
    for (const std::string& p : problems) text += "problem=" + p + "\n";
    if (!save(folder + "/media.txt", text.data(), text.size(), error)) return false;
    if (!config.store) return true;
    if (!make_dir(folder + "/media", error)) return false;
    for (const auto& m : media_) {
        if (!make_dir(folder + "/media/" + m.first, error)) return false;
        for (const auto& p : m.second) {
            if (p.second.data.empty()) continue;
            Bytes whole = contents(m.first, p.first);
            const std::string path = folder + "/media/" + m.first + "/" + p.first + ".bin";
            if (!save(path, whole.data(), whole.size(), error)) return false;
        }
    }
    return true;
}

bool MediaStore::on_command(Board& board, const std::string& command) {
    if (starts_with(command, "oem mwrite ")) {
        announce_write(board, command.substr(11));
        return true;
    }
    if (starts_with(command, "oem mread ")) {
        announce_read(board, command.substr(10));
        const std::string& early = board.config.faults.early_end_prefix;
        read_.end_early = !early.empty() && command.compare(0, early.size(), early) == 0;
        return true;
    }
    if (starts_with(command, "oem verify ")) {
        std::string text = command.substr(11);
        verify_texts.push_back(text);
        if (!config.verify_text.empty() && text != config.verify_text) {
            board.reply("FAIL", "verify mismatch");
            return true;
        }
        board.reply("OKAY");
        return true;
    }
    if (command == "mwrite:verify=addsum") {
        next_request(board);
        return true;
    }
    if (starts_with(command, "mread:status=")) {
        read_command(board, command.substr(13));
        return true;
    }
    return false;
}

bool MediaStore::parse_announce(Board& board, const std::string& args, uint64_t* size,
                                std::string* type, std::string* medium, std::string* partition,
                                uint64_t* offset) {
    std::istringstream in(args);
    std::string size_text, offset_text, extra;
    if (!(in >> size_text >> *type >> *medium >> *partition >> offset_text) || (in >> extra) ||
        !read_number(size_text, size) || !read_number(offset_text, offset)) {
        board.reply("FAIL", "bad arguments");
        return false;
    }
    if (!find(*medium, *partition)) {
        board.reply("FAIL", "no partition " + *medium + "/" + *partition);
        return false;
    }
    return true;
}

void MediaStore::announce_write(Board& board, const std::string& args) {
    Write w;
    write_ = Write();
    if (!parse_announce(board, args, &w.size, &w.type, &w.medium, &w.partition, &w.offset)) return;
    Part* part = find(w.medium, w.partition);
    if (w.type != "normal" && w.type != "sparse") return board.reply("FAIL", "unknown image type " + w.type);
    // A sparse image can only be measured against the partition once it has been expanded.
    if (w.offset > part->size || (w.type == "normal" && w.size > part->size - w.offset))
        return board.reply("FAIL", "image larger than partition");
    if (config.store && w.type == "sparse") {
        if (w.size > (1ull << 30)) return board.reply("FAIL", "sparse image too large to stage");
        w.image.assign(w.size, 0);
    }
    w.plan = config.plan.empty() ? media_plan(w.size, config.portion, config.order, config.seed)
                                 : config.plan;
    w.active = true;
    write_ = std::move(w);
    board.reply("OKAY");
}

void MediaStore::next_request(Board& board) {
    if (!write_.active) return board.reply("FAIL", "no mwrite announced");
    if (write_.next >= write_.plan.size()) return finish_write(board);
    const Portion p = write_.plan[write_.next];
    std::string text = board.number(p.size);
    if (p.offset || config.zero_offset_written) text += ":" + board.number(p.offset);
    board.reply(config.data_code, text);
    take_portion(board, p);
}

void MediaStore::take_portion(Board& board, const Portion& p) {
    write_.portion.clear();
    if (config.store) write_.portion.reserve(p.size);
    write_.sum = 0;
    write_.sum_bytes.clear();
    auto got = std::make_shared<uint64_t>(0);
    board.expect_data(
        p.size,
        [this, got](const uint8_t* data, size_t n) {
            if (config.check_sums) write_.sum = word_sum(write_.sum, *got, data, n);
            if (config.store) write_.portion.insert(write_.portion.end(), data, data + n);
            *got += n;
        },
        [this, &board, p] {
            auto take = [this](const uint8_t* data, size_t n) {
                write_.sum_bytes.insert(write_.sum_bytes.end(), data, data + n);
            };
            board.expect_data(4, take, [this, &board, p] { check_portion(board, p); });
        });
}

void MediaStore::check_portion(Board& board, const Portion& p) {
    const uint32_t host = get_le32(write_.sum_bytes.data());
    if (config.check_sums && host != write_.sum) {
        checksums_wrong++;
        problems.push_back("checksum " + hex(host) + " for " + hex(p.size) + " bytes at " + hex(p.offset) +
                           ", the bytes sum to " + hex(write_.sum));
        write_.active = false;
        return board.reply("FAIL", "addsum mismatch");
    }
    if (config.order == PortionOrder::Rejected && !write_.rejected && write_.next == write_.plan.size() / 2) {
        write_.rejected = true;
        checksums_refused++;
        board.send_info("addsum refused, sending again");
        return board.reply("OKAY");
    }
    const long long bad = config.fail_write_at;
    if (bad >= 0 && (uint64_t)bad >= p.offset && (uint64_t)bad - p.offset < p.size) {
        write_.active = false;
        return board.reply("FAIL", "medium write error");
    }
    checksums_accepted++;
    served.push_back({p.offset, p.size, write_.sum});
    if (config.store) {
        uint64_t end = p.offset + p.size;
        if (end > write_.size) {
            problems.push_back("the plan asks beyond the image");
        } else if (write_.type == "sparse") {
            memcpy(write_.image.data() + p.offset, write_.portion.data(), p.size);
        } else {
            Part* part = find(write_.medium, write_.partition);
            if (part->data.size() < part->size) part->data.resize(part->size);
            memcpy(part->data.data() + write_.offset + p.offset, write_.portion.data(), p.size);
        }
        // Keep the received ranges merged, so that completeness is one look at the first.
        uint64_t start = p.offset;
        auto it = write_.covered.upper_bound(start);
        if (it != write_.covered.begin() && std::prev(it)->second >= start) {
            --it;
            start = it->first;
            end = std::max(end, it->second);
            it = write_.covered.erase(it);
        }
        while (it != write_.covered.end() && it->first <= end) {
            end = std::max(end, it->second);
            it = write_.covered.erase(it);
        }
        write_.covered[start] = end;
    }
    write_.next++;
    board.reply("OKAY");
}

void MediaStore::finish_write(Board& board) {
    Write w = std::move(write_);
    write_ = Write();
    if (config.store && w.size &&
        (w.covered.size() != 1 || w.covered.begin()->first != 0 || w.covered.begin()->second != w.size))
        return board.reply("FAIL", "image incomplete");
    if (config.store && w.type == "sparse") {
        Part* part = find(w.medium, w.partition);
        std::string err;
        if (config.record_sparse) {
            err = sparse_record(w.image, part->size, w.offset, &extents);
        } else {
            if (part->data.size() < part->size) part->data.resize(part->size);
            err = sparse_expand(w.image, &part->data, w.offset);
        }
        if (!err.empty()) return board.reply("FAIL", err);
    }
    completed.push_back("mwrite " + w.type + " " + w.medium + "/" + w.partition + " " + hex(w.offset) + " " +
                        hex(w.size));
    board.reply("OKAY");
}

void MediaStore::announce_read(Board& board, const std::string& args) {
    uint64_t size = 0, offset = 0;
    std::string type, medium, partition;
    read_ = Read();
    if (!parse_announce(board, args, &size, &type, &medium, &partition, &offset)) return;
    if (type != "normal") return board.reply("FAIL", "cannot read " + type + " images");
    Part* part = find(medium, partition);
    if (offset > part->size || size > part->size - offset)
        return board.reply("FAIL", "read beyond partition");
    read_.active = true;
    read_.medium = medium;
    read_.partition = partition;
    read_.pos = read_.start = offset;
    read_.left = read_.size = size;
    board.reply("OKAY");
}

void MediaStore::read_command(Board& board, const std::string& status) {
    if (status == "request") {
        if (!read_.active) return board.reply("FAIL", "no mread announced");
        if (read_.state == 1) problems.push_back("portion requested again before its upload");
        if (read_.end_early && read_.pos > read_.start && read_.left > 0) {
            // The fault: the read is declared done with bytes still owed to the host.
            read_ = Read();
            return board.reply("OKAY");
        }
        if (read_.left == 0) {
            completed.push_back("mread " + read_.medium + "/" + read_.partition + " " +
                                hex(read_.start) + " " + hex(read_.size));
            read_ = Read();
            return board.reply("OKAY");
        }
        read_.portion = (uint32_t)(read_.left < config.read_portion ? read_.left : config.read_portion);
        read_.state = 1;
        return board.reply("DATAIN", board.number(read_.portion));
    }
    if (status == "upload") {
        // The host waits for the data, not for a reply.
        if (read_.state != 1) {
            problems.push_back("upload without an announced portion");
            return;
        }
        read_.state = 2;
        uint64_t count = read_.portion;
        const long long limit = config.vanish_after_read_bytes;
        bool vanish = false;
        if (limit >= 0 && read_bytes_ + (long long)count > limit) {
            count = (uint64_t)(limit - read_bytes_);
            vanish = true;
        }
        read_bytes_ += (long long)count;
        Part* part = find(read_.medium, read_.partition);
        const uint64_t from = read_.pos;
        board.send_raw_stream(count, [part, from](uint8_t* dst, uint64_t at, size_t n) {
            // Whatever the partition has not been given reads as zero bytes.
            uint64_t pos = from + at;
            size_t have = pos < part->data.size() ? std::min<uint64_t>(n, part->data.size() - pos) : 0;
            if (have) memcpy(dst, part->data.data() + pos, have);
            if (have < n) memset(dst + have, 0, n - have);
        });
        if (vanish) {
            if (count)
                board.vanish_when_drained();
            else
                board.vanish();
        }
        return;
    }
    if (status == "finish") {
        if (read_.state != 2) return board.reply("FAIL", "no portion uploaded");
        read_.pos += read_.portion;
        read_.left -= read_.portion;
        read_.state = 0;
        return board.reply("OKAY");
    }
    board.reply("FAIL", "unknown mread status");
}

}  // namespace board
