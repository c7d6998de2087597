#include "tools/emu/features.h"

#include <memory>

#include "tools/board/board_boot.h"
#include "tools/board/board_media.h"
#include "tools/emu/options.h"
#include "tools/board/board_numbers.h"

namespace emu {

namespace {

bool number(const std::string& key, const std::string& text, uint32_t* out, std::string* error) {
    uint64_t v = 0;
    if (!board::read_number(text, &v) || v > 0xFFFFFFFFull) {
        *error = "bad number for " + key + ": " + text;
        return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

bool add_boot(Slot& slot, const std::string& args, std::string* error) {
    board::BootConfig config;
    int stage = -1;
    for (const auto& kv : split_args(args)) {
        const std::string& k = kv.first;
        const std::string& v = kv.second;
        uint32_t n = 0;
        if (k == "file") {
            if (!board::read_host_file(v, &config.file, error)) return false;
        } else if (k == "soc") {
            if (!number(k, v, &config.soc, error)) return false;
        } else if (k == "feature-word") {
            if (!number(k, v, &config.feature_word, error)) return false;
        } else if (k == "download-size") {
            config.download_size = v;
        } else if (k == "portion") {
            if (!number(k, v, &config.portion, error)) return false;
        } else if (k == "refuse-checksums") {
            if (!number(k, v, &n, error)) return false;
            config.refuse_checksums = static_cast<int>(n);
        } else if (k == "stage" || k == "reboot-to") {
            int s = v == "bl1" ? 0 : v == "bl2" ? 8 : v == "bl2e" ? 12 : -1;
            if (s < 0) {
                *error = k + " is bl1, bl2 or bl2e";
                return false;
            }
            (k == "stage" ? stage : config.reboot_stage) = s;
        } else if (k == "empty-serial-after-restart") {
            config.empty_serial_after_restart = true;
        } else if (k == "serial-after-restart") {
            config.serial_after_restart = v;
        } else if (k == "no-return") {
            config.comes_back = false;
        } else {
            *error = "unknown boot argument: " + k;
            return false;
        }
    }
    if (stage >= 0) {
        if (slot.board.config.identify.size() < 8) slot.board.config.identify.resize(8, 0);
        slot.board.config.identify[3] = static_cast<uint8_t>(stage);
    }
    slot.board.add_feature(std::make_unique<board::BootStages>(std::move(config)));
    return true;
}

bool add_media(Slot& slot, const std::string& args, std::string* error) {
    board::MediaConfig config;
    if (!board::media_config_parse(args, &config, error)) return false;
    slot.board.add_feature(std::make_unique<board::MediaStore>(std::move(config)));
    return true;
}

}  // namespace

const std::vector<FeatureOption>& feature_options() {
    static const std::vector<FeatureOption> table = {
        {"boot",
         "file=PATH[,stage=bl1|bl2|bl2e][,soc=N][,feature-word=N][,download-size=TEXT]"
         "[,portion=N][,refuse-checksums=N][,empty-serial-after-restart][,serial-after-restart=TEXT]"
         "[,no-return][,reboot-to=bl1|bl2|bl2e]",
         "boot stages that take the boot-loader file PATH; with reboot-to, \"reboot\" restarts\n"
         "      the board into that stage (re-enumerating it) instead of taking it off the bus",
         add_boot},
        {"media", board::kMediaOptionArgs,
         "storage media with partitions for \"partition\"/\"upload\"/\"mwrite\"/\"mread\" (default\n"
         "      store/boot 4M, store/system 32M, store/userdata 8M, mem/dram 1M, key/key 4K); the\n"
         "      state gets media.txt and media/<MEDIUM>/<NAME>.bin",
         add_media},
    };
    return table;
}

bool add_feature(Slot& slot, const std::string& text, std::string* error) {
    size_t colon = text.find(':');
    std::string name = text.substr(0, colon);
    std::string args = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    for (const FeatureOption& f : feature_options())
        if (name == f.name) return f.add(slot, args, error);
    *error = "unknown feature: " + name;
    return false;
}

}  // namespace emu
