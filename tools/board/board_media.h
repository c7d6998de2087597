// The storage media of an emulated board: media ("store", "mem", "key") with named partitions,
// the "oem mwrite" / "mwrite:verify=addsum" write stream that asks for the image in portions of
// its own choosing and checks the additive checksum of each, the expansion of sparse images onto
// a partition, the "oem mread" / "mread:status=..." read stream, and "oem verify ".
//
// After a run a test compares `contents()` of each partition with what it should hold, and looks
// at `completed` (writes and reads the board reported as done) and `problems` (every way in which
// the host deviated from what the board asked for).
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>
#include "tools/board/board.h"
#include "tools/board/board_numbers.h"

namespace board {

struct PartitionSpec {
    std::string name;
    uint64_t size = 0;
    // Contents at the start; the rest of the partition reads as zero bytes.
    Bytes initial;
};

struct MediumSpec {
    std::string name;
    std::vector<PartitionSpec> partitions;
};

// The order in which the board asks for the portions of an image.
enum class PortionOrder {
    Sequential,
    Shuffled,   // a seeded random order
    Repeated,   // sequential, then the middle portion once more
    Rejected,   // sequential; the checksum of the middle portion is refused once, so it comes again
};

// One data request: `size` bytes from `offset` of the image.
struct Portion {
    uint64_t offset = 0;
    uint32_t size = 0;
};

struct MediaConfig {
    std::vector<MediumSpec> media = {
        {"store", {{"boot", 4 << 20, {}}, {"system", 32 << 20, {}}, {"userdata", 8 << 20, {}}}},
        {"mem", {{"dram", 1 << 20, {}}}},
        {"key", {{"key", 4096, {}}}},
    };
    // Bytes per portion of a write; the last portion is what is left.
    uint32_t portion = 0x100000;
    PortionOrder order = PortionOrder::Sequential;
    uint32_t seed = 1;
    // When set, exactly these requests instead of the whole image in `portion` steps.
    std::vector<Portion> plan;
    // False: portions are checked but nothing is kept (images larger than memory). Partitions then
    // read as zero bytes and sparse images are not expanded.
    bool store = true;
    // False as well as `store`: the board takes the bytes without looking at them (a null board
    // for throughput measurements); every checksum is accepted.
    bool check_sums = true;
    // Reply code of data requests ("DATAOUT" or "DATA"), and whether ":0x0" is written.
    std::string data_code = "DATAOUT";
    bool zero_offset_written = true;
    // A medium fault: the portion that covers this image offset is refused after its checksum
    // with "FAIL" "medium write error" (-1: never).
    long long fail_write_at = -1;
    // Bytes per portion of a read.
    uint32_t read_portion = 0x100000;
    // Vanish after this many bytes of a read were handed to the host (-1: never).
    long long vanish_after_read_bytes = -1;
    // "oem verify " must carry exactly this text (empty: any text is taken).
    std::string verify_text;
    // Sparse images are expanded into a record of what each stretch of the partition became
    // (`MediaStore::extents`) instead of into the partition, which stays as it was: images far
    // larger than memory can then be checked.
    bool record_sparse = false;
};

// One stretch of an expanded sparse image, at `offset` of its partition.
struct Extent {
    enum Kind { Raw, Fill, Skip };
    Kind kind = Raw;
    uint64_t offset = 0;
    uint64_t size = 0;
    uint32_t value = 0;  // the fill word
    Bytes data;          // the raw bytes
};

class MediaStore : public Feature {
  public:
    explicit MediaStore(MediaConfig config = MediaConfig());
    bool on_command(Board& board, const std::string& command) override;

    // FOLDER/media.txt (the lists below, one item a line) and, when stored, the contents of every
    // partition that was written or given contents, whole, as FOLDER/media/<medium>/<part>.bin.
    bool save_state(const std::string& folder, std::string* error) const override;

    // What a partition holds now (its whole size); empty when it does not exist or is not stored.
    Bytes contents(const std::string& medium, const std::string& partition) const;

    MediaConfig config;

    // Portions whose checksum was right, in the order served.
    struct Served {
        uint64_t offset;
        uint32_t size;
        uint32_t sum;
    };
    std::vector<Served> served;
    int checksums_accepted = 0;
    int checksums_refused = 0;
    int checksums_wrong = 0;
    // One line per write or read the board answered with a final OKAY, e.g.
    // "mwrite normal store/boot 0x0 0x1000" or "mread store/boot 0x0 0x1000".
    std::vector<std::string> completed;
    std::vector<std::string> verify_texts;
    std::vector<std::string> problems;
    // With `record_sparse`: the expansion of every sparse image written, in order.
    std::vector<Extent> extents;

  private:
    struct Part {
        uint64_t size = 0;
        Bytes data;  // grown to `size` on the first write
    };
    struct Write {
        bool active = false;
        uint64_t size = 0;
        std::string type, medium, partition;
        uint64_t offset = 0;
        std::vector<Portion> plan;
        size_t next = 0;
        bool rejected = false;
        Bytes image;  // a sparse image as received, expanded at the end
        Bytes portion;
        std::map<uint64_t, uint64_t> covered;  // received ranges: start -> end
        uint32_t sum = 0;
        Bytes sum_bytes;
    };
    struct Read {
        bool active = false;
        std::string medium, partition;
        uint64_t pos = 0, left = 0;
        uint32_t portion = 0;
        int state = 0;  // 0 idle, 1 announced, 2 uploaded
        uint64_t start = 0, size = 0;
        bool end_early = false;  // the early-end fault applies
    };

    Part* find(const std::string& medium, const std::string& partition);
    bool parse_announce(Board& board, const std::string& args, uint64_t* size, std::string* type,
                        std::string* medium, std::string* partition, uint64_t* offset);
    void announce_write(Board& board, const std::string& args);
    void next_request(Board& board);
    void take_portion(Board& board, const Portion& portion);
    void check_portion(Board& board, const Portion& portion);
    void finish_write(Board& board);
    void announce_read(Board& board, const std::string& args);
    void read_command(Board& board, const std::string& status);

    std::map<std::string, std::map<std::string, Part>> media_;
    Write write_;
    Read read_;
    long long read_bytes_ = 0;
};

// The medium from the words of a command-line option, "key=value" separated by ",":
//   part=MEDIUM/NAME/SIZE[/FILE]  a partition (repeatable; replaces the default media), FILE its
//                                 initial contents
//   portion=N  order=sequential|shuffled|repeated|rejected  seed=N  ask=OFFSET+SIZE (repeatable)
//   no-store  no-check  data-code=TEXT  no-zero-offset  read-portion=N  vanish-after-read=N
//   fail-write-at=N  verify=TEXT  record-sparse
// Numbers take 0x and k/m/g. False with a reason.
bool media_config_parse(const std::string& args, MediaConfig* config, std::string* error);
extern const char* const kMediaOptionArgs;
// The whole of a host file given to a board's options (an initial partition, a boot-loader
// file) in *out; false with the reason.
bool read_host_file(const std::string& path, Bytes* out, std::string* error);

// The requests of a whole image of `size` bytes in `portion` steps, in the given order.
std::vector<Portion> media_plan(uint64_t size, uint32_t portion, PortionOrder order, uint32_t seed);

// Expands a sparse image onto `dst` (a partition from `offset`); an empty text, or why not.
std::string sparse_expand(const Bytes& image, Bytes* dst, uint64_t offset);
// The same into a record of extents, for a partition of `room` bytes.
std::string sparse_record(const Bytes& image, uint64_t room, uint64_t offset, std::vector<Extent>* out);


}  // namespace board
