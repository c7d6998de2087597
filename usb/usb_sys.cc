#include "usb/usb_sys.h"

std::string get_my_path() {
    std::string path = executable_path();
    size_t cut = path.find_last_of(path_separators());
    // The root folder keeps its separator: it is the whole name.
    if (cut != std::string::npos) path.resize(cut == 0 ? 1 : cut);
    return path;
}
