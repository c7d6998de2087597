// The USB access over libusb-1.0. Enumeration works on the descriptors the system keeps for each
// device, so listing never opens a device; only the interface that is asked for by name is
// opened and claimed.
#include <fcntl.h>
#include <libusb-1.0/libusb.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "usb/usb_os.h"
#include "util/log.h"

struct usbos_object {
    enum Kind { kEnum, kInterface, kEndpoint } kind;
    explicit usbos_object(Kind k) : kind(k) {}
};

namespace {

struct LibusbEnum : usbos_object {
    LibusbEnum() : usbos_object(kEnum) {}
    libusb_device** list = nullptr;
    ssize_t count = 0;
    ssize_t next_device = 0;
    int next_interface = 0;
    uint16_t vendor = 0;
    uint16_t product = 0;
};

// One default bulk endpoint: its address (0: none) and packet size.
struct BulkPipe {
    uint8_t address = 0;
    uint16_t max_packet = 0;
};

struct LibusbInterface : usbos_object {
    LibusbInterface() : usbos_object(kInterface) {}
    libusb_device_handle* dev = nullptr;
    int number = 0;
    bool driver_detached = false;
    std::string name;
    std::string location;
    usb_device_descriptor device{};
    usb_interface_descriptor interface{};
    BulkPipe in;
    BulkPipe out;
};

struct LibusbEndpoint : usbos_object {
    LibusbEndpoint() : usbos_object(kEndpoint) {}
    LibusbInterface* owner = nullptr;
    BulkPipe pipe;
};

// The nearest errno value for a libusb error, so that the callers' texts read naturally.
int errno_of(int libusb_error) {
    switch (libusb_error) {
        case LIBUSB_ERROR_IO: return EIO;
        case LIBUSB_ERROR_INVALID_PARAM: return EINVAL;
        case LIBUSB_ERROR_ACCESS: return EACCES;
        case LIBUSB_ERROR_NO_DEVICE: return ENODEV;
        case LIBUSB_ERROR_NOT_FOUND: return ENOENT;
        case LIBUSB_ERROR_BUSY: return EBUSY;
        case LIBUSB_ERROR_TIMEOUT: return ETIMEDOUT;
        case LIBUSB_ERROR_OVERFLOW: return EOVERFLOW;
        case LIBUSB_ERROR_PIPE: return EPIPE;
        case LIBUSB_ERROR_INTERRUPTED: return EINTR;
        case LIBUSB_ERROR_NO_MEM: return ENOMEM;
        case LIBUSB_ERROR_NOT_SUPPORTED: return EOPNOTSUPP;
        default: return EIO;
    }
}

bool fail(int libusb_error) {
    errno = errno_of(libusb_error);
    return false;
}

// One context at a time: libusb keeps its device list current from hot-plug events, which is
// what makes the 1 ms poll for a board cheap. A start that failed is tried again on a later
// call, at most every 100 ms: starting can fail for a moment (the hot-plug listener's socket),
// and a failure kept for the run would leave the caller waiting for a board forever.
libusb_context* g_ctx = nullptr;
double g_last_try = -1.0;
int g_last_error = 0;
// Enumerations and interfaces open on the context: it is only ended when there are none.
int g_open_objects = 0;

libusb_context* context() {
    if (g_ctx) return g_ctx;
    const double t = now();
    if (g_last_try < 0 || t - g_last_try >= 0.1) {
        g_last_try = t;
        int r = libusb_init(&g_ctx);
        if (r != 0) g_ctx = nullptr;
        g_last_error = r == 0 ? 0 : errno_of(r);
    }
    if (!g_ctx) errno = g_last_error;
    return g_ctx;
}

// A new context reads the bus afresh instead of trusting the events the old one may have missed.
void lu_rescan() {
    if (!g_ctx || g_open_objects > 0) return;
    libusb_exit(g_ctx);
    g_ctx = nullptr;
    g_last_try = -1.0;
}

// Bus number, then the port numbers from the root hub down.
std::vector<int> port_key(libusb_device* dev) {
    uint8_t ports[8];
    int n = libusb_get_port_numbers(dev, ports, sizeof(ports));
    std::vector<int> key{libusb_get_bus_number(dev)};
    for (int i = 0; i < n; i++) key.push_back(ports[i]);
    return key;
}

// "1-2.3": bus 1, port 3 of the hub at port 2; "usb1" for the root hub of bus 1.
std::string port_path(libusb_device* dev) {
    const std::vector<int> key = port_key(dev);
    std::string s = std::to_string(key[0]);
    if (key.size() == 1) return "usb" + s;
    for (size_t i = 1; i < key.size(); i++) {
        s += (i == 1 ? '-' : '.');
        s += std::to_string(key[i]);
    }
    return s;
}

std::string sysfs_serial(const std::string& location) {
    std::string path = "/sys/bus/usb/devices/" + location + "/serial";
    FILE* f = fopen(path.c_str(), "re");
    if (!f) return std::string();
    char buf[256];
    std::string serial;
    if (fgets(buf, sizeof(buf), f)) serial = buf;
    fclose(f);
    while (!serial.empty() && (serial.back() == '\n' || serial.back() == '\r')) serial.pop_back();
    return serial;
}

std::string node_of(libusb_device* dev) {
    char node[64];
    snprintf(node, sizeof(node), "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(dev),
             libusb_get_device_address(dev));
    return node;
}

// The device's node; a user without the right to open it is told so before anything is
// opened.
bool node_accessible(libusb_device* dev) {
    if (access(node_of(dev).c_str(), R_OK | W_OK) == 0) return true;
    return errno != EACCES && errno != EPERM;
}

// Whether a program holds the interface: its claim binds the interface to the kernel's "usbfs"
// driver. The kernel shows the binding in sysfs; where the interface has no folder there (an
// emulated bus), the node answers it. Neither way claims anything or disturbs the holder.
bool interface_claimed(libusb_device* dev, const std::string& name, int number) {
    std::string folder = "/sys/bus/usb/devices/" + name;
    if (access(folder.c_str(), F_OK) == 0) {
        char target[PATH_MAX];
        ssize_t n = readlink((folder + "/driver").c_str(), target, sizeof(target) - 1);
        if (n <= 0) return false;
        target[n] = '\0';
        const char* slash = strrchr(target, '/');
        return strcmp(slash ? slash + 1 : target, "usbfs") == 0;
    }
    int fd = open(node_of(dev).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    usbdevfs_getdriver driver;
    memset(&driver, 0, sizeof(driver));
    driver.interface = static_cast<unsigned>(number);
    bool claimed = ioctl(fd, USBDEVFS_GETDRIVER, &driver) == 0 &&
                   strncmp(driver.driver, "usbfs", sizeof(driver.driver)) == 0;
    close(fd);
    return claimed;
}

void copy_device_descriptor(const libusb_device_descriptor& d, usb_device_descriptor* out) {
    memset(out, 0, sizeof(*out));
    out->bLength = d.bLength;
    out->bDescriptorType = d.bDescriptorType;
    out->bcdUSB = d.bcdUSB;
    out->bDeviceClass = d.bDeviceClass;
    out->bDeviceSubClass = d.bDeviceSubClass;
    out->bDeviceProtocol = d.bDeviceProtocol;
    out->bMaxPacketSize0 = d.bMaxPacketSize0;
    out->idVendor = d.idVendor;
    out->idProduct = d.idProduct;
    out->bcdDevice = d.bcdDevice;
    out->iManufacturer = d.iManufacturer;
    out->iProduct = d.iProduct;
    out->iSerialNumber = d.iSerialNumber;
    out->bNumConfigurations = d.bNumConfigurations;
}

void copy_interface_descriptor(const libusb_interface_descriptor& d, usb_interface_descriptor* out) {
    memset(out, 0, sizeof(*out));
    out->bLength = d.bLength;
    out->bDescriptorType = d.bDescriptorType;
    out->bInterfaceNumber = d.bInterfaceNumber;
    out->bAlternateSetting = d.bAlternateSetting;
    out->bNumEndpoints = d.bNumEndpoints;
    out->bInterfaceClass = d.bInterfaceClass;
    out->bInterfaceSubClass = d.bInterfaceSubClass;
    out->bInterfaceProtocol = d.bInterfaceProtocol;
    out->iInterface = d.iInterface;
}

bool ids_match(const libusb_device_descriptor& d, uint16_t vendor, uint16_t product) {
    return (vendor == 0 || d.idVendor == vendor) && (product == 0 || d.idProduct == product);
}

// Fills the entry for interface `index` (its first alternate setting) of the active
// configuration; false when there is no such interface.
bool describe(libusb_device* dev, int index, usbos_entry* entry, LibusbInterface* ifc) {
    libusb_device_descriptor dd;
    if (libusb_get_device_descriptor(dev, &dd) != 0) return false;
    libusb_config_descriptor* config = nullptr;
    int r = libusb_get_active_config_descriptor(dev, &config);
    if (r != 0) return fail(r);
    bool found = false;
    if (index >= 0 && index < config->bNumInterfaces && config->interface[index].num_altsetting > 0) {
        const libusb_interface_descriptor& alt = config->interface[index].altsetting[0];
        entry->location = port_path(dev);
        entry->serial = sysfs_serial(entry->location);
        entry->name = entry->location + ":" + std::to_string(config->bConfigurationValue) + "." +
                      std::to_string(alt.bInterfaceNumber);
        copy_device_descriptor(dd, &entry->device);
        copy_interface_descriptor(alt, &entry->interface);
        entry->accessible = node_accessible(dev);
        for (int e = alt.bNumEndpoints - 1; ifc && e >= 0; e--) {
            const libusb_endpoint_descriptor& ep = alt.endpoint[e];
            if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) continue;
            bool in = (ep.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
            // The first bulk endpoint of each direction is the default one.
            BulkPipe& pipe = in ? ifc->in : ifc->out;
            pipe.address = ep.bEndpointAddress;
            pipe.max_packet = ep.wMaxPacketSize & 0x7FF;
        }
        found = true;
    }
    libusb_free_config_descriptor(config);
    return found;
}

usbos_handle lu_enum_interfaces(uint16_t vendor, uint16_t product) {
    libusb_context* ctx = context();
    if (!ctx) return nullptr;
    auto* e = new LibusbEnum;
    e->count = libusb_get_device_list(ctx, &e->list);
    if (e->count < 0) {
        errno = errno_of(static_cast<int>(e->count));
        delete e;
        return nullptr;
    }
    e->vendor = vendor;
    e->product = product;
    g_open_objects++;
    // libusb lists the newest device first; boards are offered by bus and port instead, so that
    // the order does not change with the order they were plugged in.
    std::sort(e->list, e->list + e->count, [](libusb_device* a, libusb_device* b) {
        return port_key(a) < port_key(b);
    });
    return e;
}

bool lu_next_interface(usbos_handle h, usbos_entry* entry) {
    if (!h || h->kind != usbos_object::kEnum) {
        errno = EINVAL;
        return false;
    }
    auto* e = static_cast<LibusbEnum*>(h);
    while (e->next_device < e->count) {
        libusb_device* dev = e->list[e->next_device];
        libusb_device_descriptor dd;
        if (libusb_get_device_descriptor(dev, &dd) == 0 && ids_match(dd, e->vendor, e->product) &&
            describe(dev, e->next_interface, entry, nullptr)) {
            e->next_interface++;
            entry->accessible = node_accessible(dev);
            entry->claimed = entry->accessible &&
                             interface_claimed(dev, entry->name, entry->interface.bInterfaceNumber);
            return true;
        }
        e->next_device++;
        e->next_interface = 0;
    }
    errno = ENOENT;
    return false;
}

// "1-2.3:1.0" -> location "1-2.3", configuration 1, interface 0.
bool parse_name(const char* name, std::string* location, int* config, int* number) {
    const char* colon = strrchr(name, ':');
    if (!colon || colon == name) return false;
    char* end = nullptr;
    long c = strtol(colon + 1, &end, 10);
    if (end == colon + 1 || *end != '.' || c < 0 || c > 255) return false;
    const char* dot = end + 1;
    long n = strtol(dot, &end, 10);
    if (end == dot || *end != '\0' || n < 0 || n > 255) return false;
    location->assign(name, colon - name);
    *config = static_cast<int>(c);
    *number = static_cast<int>(n);
    return true;
}

void release(LibusbInterface* ifc) {
    libusb_release_interface(ifc->dev, ifc->number);
    if (ifc->driver_detached) libusb_attach_kernel_driver(ifc->dev, ifc->number);
    libusb_close(ifc->dev);
    ifc->dev = nullptr;
}

// Where interface `number` stands in the active configuration of `dev`, when that is
// configuration `config`: its index, -1 where it is not there, kNoConfiguration where the
// configuration cannot be read.
constexpr int kNoConfiguration = -2;
int interface_index(libusb_device* dev, int config, int number) {
    libusb_config_descriptor* cfg = nullptr;
    if (libusb_get_active_config_descriptor(dev, &cfg) != 0) return kNoConfiguration;
    int index = -1;
    if (cfg->bConfigurationValue == config) {
        for (int k = 0; k < cfg->bNumInterfaces; k++)
            if (cfg->interface[k].num_altsetting > 0 &&
                cfg->interface[k].altsetting[0].bInterfaceNumber == number)
                index = k;
    }
    libusb_free_config_descriptor(cfg);
    return index;
}

// Opens `dev` and claims interface `number` (at `index` of its configuration), taking it from a
// kernel driver that holds it; nullptr with *err set when that fails.
LibusbInterface* claim_interface(libusb_device* dev, int index, int number, int* err) {
    auto* ifc = new LibusbInterface;
    usbos_entry entry;
    describe(dev, index, &entry, ifc);
    ifc->name = entry.name;
    ifc->location = entry.location;
    ifc->device = entry.device;
    ifc->interface = entry.interface;
    ifc->number = number;
    int r = node_accessible(dev) ? libusb_open(dev, &ifc->dev) : LIBUSB_ERROR_ACCESS;
    if (r == 0 && libusb_kernel_driver_active(ifc->dev, number) == 1) {
        r = libusb_detach_kernel_driver(ifc->dev, number);
        ifc->driver_detached = (r == 0);
    }
    if (r == 0) r = libusb_claim_interface(ifc->dev, number);
    if (r == 0) {
        g_open_objects++;
        return ifc;
    }
    *err = errno_of(r);
    if (ifc->dev) {
        if (ifc->driver_detached) libusb_attach_kernel_driver(ifc->dev, number);
        libusb_close(ifc->dev);
    }
    delete ifc;
    return nullptr;
}

// The interface of the device in `list` at `location`, opened and claimed; nullptr with *err
// set otherwise.
LibusbInterface* open_listed(libusb_device** list, ssize_t count, const std::string& location,
                             int config, int number, uint16_t vendor, uint16_t product, int* err) {
    *err = ENODEV;
    for (ssize_t i = 0; i < count; i++) {
        libusb_device* dev = list[i];
        libusb_device_descriptor dd;
        if (libusb_get_device_descriptor(dev, &dd) != 0 || port_path(dev) != location) continue;
        // Another device at the same place is not ours to open.
        if (!ids_match(dd, vendor, product)) return nullptr;
        int index = interface_index(dev, config, number);
        if (index == kNoConfiguration) return nullptr;
        *err = ENOENT;
        if (index < 0) return nullptr;
        LibusbInterface* ifc = claim_interface(dev, index, number, err);
        if (ifc) return ifc;
    }
    return nullptr;
}

usbos_handle lu_create_interface_by_name(const char* name, uint16_t vendor, uint16_t product) {
    std::string location;
    int config = 0, number = 0;
    if (!name || !parse_name(name, &location, &config, &number)) {
        errno = ENOENT;
        return nullptr;
    }
    libusb_context* ctx = context();
    if (!ctx) return nullptr;
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(ctx, &list);
    if (count < 0) {
        errno = errno_of(static_cast<int>(count));
        return nullptr;
    }
    int err = 0;
    LibusbInterface* result = open_listed(list, count, location, config, number, vendor, product, &err);
    libusb_free_device_list(list, 1);
    if (!result) errno = err;
    return result;
}

// The handle as the object of `kind`, or nullptr (errno ENODEV) for another kind or none.
template <class T>
T* as_kind(usbos_handle h, usbos_object::Kind kind) {
    if (!h || h->kind != kind) {
        errno = ENODEV;
        return nullptr;
    }
    return static_cast<T*>(h);
}

LibusbInterface* as_interface(usbos_handle h) {
    return as_kind<LibusbInterface>(h, usbos_object::kInterface);
}

LibusbEndpoint* as_endpoint(usbos_handle h) {
    return as_kind<LibusbEndpoint>(h, usbos_object::kEndpoint);
}

usbos_handle open_endpoint(usbos_handle h, bool in) {
    LibusbInterface* ifc = as_interface(h);
    if (!ifc) return nullptr;
    const BulkPipe& pipe = in ? ifc->in : ifc->out;
    if (pipe.address == 0) {
        errno = ENOENT;
        return nullptr;
    }
    auto* ep = new LibusbEndpoint;
    ep->owner = ifc;
    ep->pipe = pipe;
    return ep;
}

usbos_handle lu_open_default_bulk_read_endpoint(usbos_handle h) {
    return open_endpoint(h, true);
}

usbos_handle lu_open_default_bulk_write_endpoint(usbos_handle h) {
    return open_endpoint(h, false);
}

bool lu_get_interface_name(usbos_handle h, char* buf, size_t* length) {
    LibusbInterface* ifc = as_interface(h);
    return ifc && length && usbos_copy_name(ifc->name, buf, length);
}

bool lu_get_port_path(usbos_handle h, char* buf, size_t size) {
    LibusbInterface* ifc = as_interface(h);
    return ifc && usbos_copy_text(ifc->location, buf, size);
}

bool lu_get_device_descriptor(usbos_handle h, usb_device_descriptor* out) {
    LibusbInterface* ifc = as_interface(h);
    if (!ifc) return false;
    *out = ifc->device;
    return true;
}

bool lu_get_interface_descriptor(usbos_handle h, usb_interface_descriptor* out) {
    LibusbInterface* ifc = as_interface(h);
    if (!ifc) return false;
    *out = ifc->interface;
    return true;
}

bool lu_get_serial_number(usbos_handle h, char* buf, size_t size) {
    LibusbInterface* ifc = as_interface(h);
    if (!ifc || !ifc->dev) return false;
    if (!buf || size == 0 || size > INT_MAX) {
        errno = EINVAL;
        return false;
    }
    buf[0] = '\0';
    if (ifc->device.iSerialNumber == 0) {
        errno = ENOENT;
        return false;
    }
    int r = libusb_get_string_descriptor_ascii(ifc->dev, ifc->device.iSerialNumber,
                                               reinterpret_cast<unsigned char*>(buf),
                                               static_cast<int>(size));
    if (r < 0) {
        buf[0] = '\0';
        return fail(r);
    }
    buf[static_cast<size_t>(r) < size ? r : size - 1] = '\0';
    return true;
}

bool transfer(usbos_handle h, void* buf, size_t len, size_t* done, unsigned timeout_ms) {
    if (done) *done = 0;
    LibusbEndpoint* ep = as_endpoint(h);
    if (!ep || !ep->owner->dev) {
        errno = ENODEV;
        return false;
    }
    if (len > INT_MAX) {
        errno = EINVAL;
        return false;
    }
    int count = 0;
    int r = libusb_bulk_transfer(ep->owner->dev, ep->pipe.address, static_cast<unsigned char*>(buf),
                                 static_cast<int>(len), &count, timeout_ms);
    if (done) *done = count > 0 ? static_cast<size_t>(count) : 0;
    if (r != 0) return fail(r);
    return true;
}

bool lu_read_endpoint_sync(usbos_handle h, void* buf, size_t len, size_t* received,
                           unsigned timeout_ms) {
    return transfer(h, buf, len, received, timeout_ms);
}

bool lu_write_endpoint_sync(usbos_handle h, const void* buf, size_t len, size_t* sent,
                            unsigned timeout_ms) {
    // libusb takes one buffer type for both directions; a bulk-out transfer only reads it.
    return transfer(h, const_cast<void*>(buf), len, sent, timeout_ms);
}

size_t lu_max_packet_size(usbos_handle h) {
    LibusbEndpoint* ep = as_endpoint(h);
    return ep ? ep->pipe.max_packet : 0;
}

bool lu_clear_halt(usbos_handle h) {
    LibusbEndpoint* ep = as_endpoint(h);
    if (!ep || !ep->owner->dev) return false;
    int r = libusb_clear_halt(ep->owner->dev, ep->pipe.address);
    return r == 0 || fail(r);
}

void lu_close_handle(usbos_handle h) {
    if (!h) return;
    switch (h->kind) {
        case usbos_object::kEnum: {
            auto* e = static_cast<LibusbEnum*>(h);
            if (e->list) libusb_free_device_list(e->list, 1);
            delete e;
            g_open_objects--;
            break;
        }
        case usbos_object::kInterface: {
            auto* ifc = static_cast<LibusbInterface*>(h);
            if (ifc->dev) release(ifc);
            delete ifc;
            g_open_objects--;
            break;
        }
        case usbos_object::kEndpoint:
            delete static_cast<LibusbEndpoint*>(h);
            break;
    }
}

const usbos_ops kLibusbOps = {
    lu_enum_interfaces,
    lu_next_interface,
    lu_create_interface_by_name,
    lu_open_default_bulk_read_endpoint,
    lu_open_default_bulk_write_endpoint,
    lu_get_interface_name,
    lu_get_port_path,
    lu_get_device_descriptor,
    lu_get_interface_descriptor,
    lu_get_serial_number,
    lu_read_endpoint_sync,
    lu_write_endpoint_sync,
    lu_close_handle,
    lu_max_packet_size,
    lu_clear_halt,
    lu_rescan,
};

}  // namespace

const usbos_ops* usbos_system_ops() {
    return &kLibusbOps;
}
