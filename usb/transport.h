// The byte transport between the protocol client and a device. Everything above it moves bytes
// only through this interface, so a simulated board can stand behind it.
#pragma once
#include <cstddef>
#include <sys/types.h>

class Transport {
  public:
    Transport() = default;
    virtual ~Transport() = default;

    // One transfer from the device, at most len bytes; the count received or -1 (errno set).
    // Waits without a time limit.
    virtual ssize_t Read(void* data, size_t len) = 0;
    // Sends all len bytes; len or -1 (errno set).
    virtual ssize_t Write(const void* data, size_t len) = 0;
    // Releases the device; a second call does nothing. Read and Write fail afterwards.
    virtual int Close() = 0;
    // Waits until the device has gone away, where the transport can tell.
    virtual int WaitForDisconnect() { return 0; }
    // As Read, abandoned after timeout_ms (0: no limit); a time-out is a failure.
    virtual ssize_t Read_timeout(void* data, size_t len, unsigned timeout_ms) = 0;
};
