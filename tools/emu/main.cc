// vorn-emu: runs a command with emulated VXN boards on an emulated USB bus.
#include <glib-unix.h>
#include <malloc.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <linux/capability.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tools/emu/bus.h"
#include "tools/emu/options.h"
#include "tools/emu/state.h"
#include "util/version.h"

namespace {

constexpr int kWatchdogStatus = 124;
constexpr int kSetupStatus = 2;

struct Run {
    GMainLoop* loop = nullptr;
    pid_t child = -1;
    int status = -1;
    bool exited = false;
    bool watchdog_fired = false;
    unsigned timeout_s = 0;
};

constexpr char kEventsLibrary[] = "libvorn-emu-events.so";

// The library that gives each process its own hot-plug news: beside the program in a build,
// in the library folder when installed. Empty when neither is there.
std::string events_library() {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0) return std::string();
    exe[n] = '\0';
    std::string dir(exe);
    dir.erase(dir.find_last_of('/') + 1);
    for (const std::string& path : {dir + kEventsLibrary,
                                    dir + VORN_EMU_EVENTS_FROM_BIN + "/" + kEventsLibrary})
        if (access(path.c_str(), R_OK) == 0) return path;
    return std::string();
}

// The preload library emulates /sys and /dev for a process, and ours, ahead of it, names each
// process's hot-plug socket; a binary built with AddressSanitizer insists on its runtime coming
// first unless told otherwise.
void add_preload_environment(bool say_missing) {
    const char* old = getenv("LD_PRELOAD");
    if (!old || !strstr(old, "libumockdev-preload")) {
        std::string preload = "libumockdev-preload.so.0";
        if (old && *old) preload += std::string(":") + old;
        setenv("LD_PRELOAD", preload.c_str(), 1);
    }
    old = getenv("LD_PRELOAD");
    if (!strstr(old, kEventsLibrary)) {
        std::string events = events_library();
        if (events.empty() && say_missing)
            fprintf(stderr, "vorn-emu: %s not found: processes that share a descriptor number "
                            "share their hot-plug news\n", kEventsLibrary);
        else if (!events.empty())
            setenv("LD_PRELOAD", (events + ":" + old).c_str(), 1);
    }
    const char* asan = getenv("ASAN_OPTIONS");
    if (!asan || !strstr(asan, "verify_asan_link_order")) {
        std::string opts = "verify_asan_link_order=0";
        if (asan && *asan) opts = std::string(asan) + ":" + opts;
        setenv("ASAN_OPTIONS", opts.c_str(), 1);
    }
}

// libusb (1.0.26) can keep a device or two when a context that missed hot-plug events is ended;
// a command built with LeakSanitizer would fail on memory that is not its own.
void suppress_libusb_leaks(const char* root) {
    const std::string file = std::string(root) + "/lsan-libusb.supp";
    FILE* f = fopen(file.c_str(), "we");
    if (!f) return;
    bool ok = fputs("leak:libusb-1.0.so\n", f) >= 0;
    if (fclose(f) != 0 || !ok) return;
    const char* lsan = getenv("LSAN_OPTIONS");
    if (lsan && strstr(lsan, "suppressions=")) return;
    std::string opts = "suppressions=" + file;
    if (lsan && *lsan) opts = std::string(lsan) + ":" + opts;
    setenv("LSAN_OPTIONS", opts.c_str(), 1);
}

void set_child_environment(const char* root) {
    add_preload_environment(true);
    suppress_libusb_leaks(root);
    if (!getenv("UMOCKDEV_DIR")) setenv("UMOCKDEV_DIR", root, 1);
    unsetenv("VORN_EMU_PRELOADED");
}

// Root reads any file regardless of its mode; to emulate a board the user may not open, the
// command runs without that privilege.
void drop_file_override() {
    prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
    prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
}

pid_t start(const std::vector<std::string>& command, bool no_access) {
    pid_t pid = fork();
    if (pid != 0) {
        if (pid > 0) setpgid(pid, pid);
        return pid;
    }
    setpgid(0, 0);
    // If the emulator is killed, its boards are gone: the command must not wait for them.
    prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    if (no_access && geteuid() == 0) drop_file_override();
    std::vector<char*> argv;
    for (const std::string& s : command) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    fprintf(stderr, "vorn-emu: cannot run %s: %s\n", argv[0], strerror(errno));
    _exit(127);
}

void on_child(GPid, gint status, gpointer data) {
    Run* run = static_cast<Run*>(data);
    run->status = status;
    run->exited = true;
    g_main_loop_quit(run->loop);
}

gboolean on_watchdog(gpointer data) {
    Run* run = static_cast<Run*>(data);
    if (run->exited) return G_SOURCE_REMOVE;
    if (!run->watchdog_fired) {
        run->watchdog_fired = true;
        fprintf(stderr, "vorn-emu: watchdog: the command did not end within %u s; ending it\n",
                run->timeout_s);
        kill(-run->child, SIGTERM);
        // A command that ignores the request is killed a little later.
        g_timeout_add_seconds(2, on_watchdog, run);
        return G_SOURCE_REMOVE;
    }
    kill(-run->child, SIGKILL);
    return G_SOURCE_REMOVE;
}

// The command runs in a process group of its own (so that the watchdog can end all of it); a
// signal meant for the emulator is passed on.
gboolean on_signal(gpointer data) {
    Run* run = static_cast<Run*>(data);
    if (!run->exited) kill(-run->child, SIGTERM);
    return G_SOURCE_CONTINUE;
}

// --plug-after: the board comes onto the bus while the command runs, as an operator plugs it in.
void plug_later(emu::Bus& bus, emu::Slot& slot) {
    struct Plug {
        emu::Bus* bus;
        emu::Slot* slot;
    };
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, slot.plug_after_ms,
        [](gpointer p) -> gboolean {
            auto* plug = static_cast<Plug*>(p);
            std::string error;
            if (!plug->bus->plug(*plug->slot, &error)) fprintf(stderr, "vorn-emu: %s\n", error.c_str());
            return G_SOURCE_REMOVE;
        },
        new Plug{&bus, &slot}, [](gpointer p) { delete static_cast<Plug*>(p); });
}

}  // namespace

// A process that was ended in the middle of a request leaves its connection to the emulation
// open; taking the bus down then reports it, harmlessly, since the process is gone anyway.
void quiet_log(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
    if (message && strstr(message, "Destroying IoctlClient with open stream")) return;
    // Asking a client whose process has gone whether it is connected says no, and complains.
    if (message && strstr(message, "g_io_stream_is_closed: assertion")) return;
    g_log_default_handler(domain, level, message, nullptr);
}

// The test bed announces devices through libudev, which only sees the emulated /sys from
// inside the preload library; so the emulator itself runs under it too.
void run_under_preload(char** argv) {
    if (umockdev_in_mock_environment() || getenv("VORN_EMU_PRELOADED")) return;
    setenv("VORN_EMU_PRELOADED", "1", 1);
    add_preload_environment(false);
    execv("/proc/self/exe", argv);
    // Without the preload the boards still work; only hot-plug events are not announced.
}

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        print_version("vorn-emu", vorn_project_version);
        return 0;
    }
    run_under_preload(argv);
    // umockdev copies every transfer into a new zeroed buffer of its size (a media chunk is
    // 128 KiB): above glibc's mapping threshold each would be a fresh mapping whose pages fault in
    // one by one. Kept on the heap, a busy bus costs the emulator about an eighth less CPU.
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    g_log_set_default_handler(quiet_log, nullptr);
    emu::Options options;
    bool help = false;
    std::string error;
    if (!emu::parse_options(argc, argv, &options, &help, &error)) {
        fprintf(stderr, "vorn-emu: %s (see --help)\n", error.c_str());
        return kSetupStatus;
    }
    if (help) {
        emu::print_help("vorn-emu");
        return 0;
    }

    std::mutex lock;
    std::vector<std::unique_ptr<emu::Slot>> slots;
    std::set<std::string> ports;
    bool no_access = false;
    for (int i = 1; i <= options.boards; i++) {
        auto slot = std::make_unique<emu::Slot>();
        if (!emu::configure_board(options, i, slot.get(), &error)) {
            fprintf(stderr, "vorn-emu: board %d: %s\n", i, error.c_str());
            return kSetupStatus;
        }
        if (!ports.insert(slot->port).second) {
            fprintf(stderr, "vorn-emu: two boards at port %s\n", slot->port.c_str());
            return kSetupStatus;
        }
        no_access = no_access || slot->no_access || slot->access_delay_ms;
        slots.push_back(std::move(slot));
    }

    int result = kSetupStatus;
    {
        emu::Bus bus(lock);
        if (!bus.ok()) {
            fprintf(stderr, "vorn-emu: cannot create the emulated USB bus\n");
            return kSetupStatus;
        }
        bus.reenumerate_delay_ms = options.reenumerate_delay_ms;
        if (!bus.add_root_hub(1, &error)) {
            fprintf(stderr, "vorn-emu: %s\n", error.c_str());
            return kSetupStatus;
        }
        for (auto& slot : slots) {
            if (slot->plug_after_ms) continue;
            if (!bus.plug(*slot, &error)) {
                fprintf(stderr, "vorn-emu: %s\n", error.c_str());
                return kSetupStatus;
            }
        }

        Run run;
        run.loop = g_main_loop_new(nullptr, FALSE);
        run.timeout_s = options.timeout_s;
        set_child_environment(bus.root().c_str());
        run.child = start(options.command, no_access);
        if (run.child < 0) {
            fprintf(stderr, "vorn-emu: cannot start the command: %s\n", strerror(errno));
            g_main_loop_unref(run.loop);
            return kSetupStatus;
        }
        g_child_watch_add(run.child, on_child, &run);
        for (auto& slot : slots)
            if (slot->plug_after_ms) plug_later(bus, *slot);
        if (options.timeout_s) g_timeout_add_seconds(options.timeout_s, on_watchdog, &run);
        guint sig_ids[3] = {g_unix_signal_add(SIGINT, on_signal, &run),
                            g_unix_signal_add(SIGTERM, on_signal, &run),
                            g_unix_signal_add(SIGHUP, on_signal, &run)};
        g_main_loop_run(run.loop);
        for (guint id : sig_ids) g_source_remove(id);

        if (run.watchdog_fired)
            result = kWatchdogStatus;
        else if (WIFEXITED(run.status))
            result = WEXITSTATUS(run.status);
        else if (WIFSIGNALED(run.status))
            result = 128 + WTERMSIG(run.status);

        std::lock_guard<std::mutex> hold(lock);
        if (!options.state_dir.empty()) {
            std::vector<emu::Slot*> list;
            for (auto& s : slots) list.push_back(s.get());
            if (!emu::write_state(options.state_dir, list, &error)) {
                fprintf(stderr, "vorn-emu: %s\n", error.c_str());
                if (result == 0) result = kSetupStatus;
            }
        }
        if (options.verbose) {
            for (auto& s : slots) {
                std::vector<const emu::UsbNode*> nodes;
                for (auto& n : s->old_nodes) nodes.push_back(n.get());
                if (s->node) nodes.push_back(s->node.get());
                for (const emu::UsbNode* n : nodes)
                    for (unsigned long r : n->unknown_requests)
                        fprintf(stderr, "vorn-emu: board at %s: request 0x%lx not emulated\n",
                                s->port.c_str(), r);
            }
        }
        g_main_loop_unref(run.loop);
    }
    return result;
}
