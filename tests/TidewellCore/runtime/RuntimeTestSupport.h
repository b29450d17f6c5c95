// Shared helpers of the runtime-layer tests: building configurations and reading regions
// back the way a reader in another process would.
#pragma once

#include "TidewellCore/ConfigModel.h"
#include "TidewellRuntimeSupport/TidewellRegions.h"

#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tidewell::testing_support {

inline SourceConfig makeSource(std::string id, SourceType type, double gain = 1.0, bool muted = false,
                               bool enabled = true)
{
    SourceConfig source;
    source.id = std::move(id);
    source.type = type;
    source.name = source.id;
    source.gain = gain;
    source.muted = muted;
    source.enabled = enabled;
    source.channelCount = 2;
    return source;
}

inline MonitorConfig makeMonitor(std::string id, double gain = 1.0, int64_t channelCount = 2)
{
    MonitorConfig monitor;
    monitor.id = std::move(id);
    monitor.name = monitor.id;
    monitor.gain = gain;
    monitor.channelCount = channelCount;
    return monitor;
}

inline Wire makeWire(EndpointKind fromKind, std::string fromOwner, int64_t fromChannel, EndpointKind toKind,
                     std::string toOwner, int64_t toChannel)
{
    Wire wire;
    wire.id = fromOwner + ">" + toOwner + ":" + std::to_string(fromChannel) + ":" + std::to_string(toChannel);
    wire.from = {fromKind, std::move(fromOwner), fromChannel};
    wire.to = {toKind, std::move(toOwner), toChannel};
    return wire;
}

// A wire from a source's channel to the device's output channel.
inline Wire sourceWire(const DeviceConfig &device, const std::string &sourceID, int64_t from, int64_t to)
{
    return makeWire(EndpointKind::source, sourceID, from, EndpointKind::deviceOutput, device.id, to);
}

inline DeviceConfig makeDevice(std::string id, int64_t channelCount = 2)
{
    DeviceConfig device;
    device.id = id;
    device.name = "Device " + id;
    device.uid = "uid." + id;
    device.icon = "waveform.circle";
    device.channelCount = channelCount;
    return device;
}

inline ConfigSnapshot makeSnapshot(std::vector<DeviceConfig> devices)
{
    ConfigSnapshot snapshot = ConfigSnapshot::empty();
    snapshot.devices = std::move(devices);
    return snapshot;
}

// The bytes of region `name`, or nothing when it does not exist.
inline std::optional<std::vector<unsigned char>> readRegion(const std::string &name, size_t size)
{
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || static_cast<size_t>(st.st_size) < size) {
        close(fd);
        return std::nullopt;
    }
    void *map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        return std::nullopt;
    }
    std::vector<unsigned char> bytes(size);
    TidewellRegionReadBytes(bytes.data(), map, 0, size);
    munmap(map, size);
    return bytes;
}

inline uint32_t u32At(const std::vector<unsigned char> &bytes, size_t offset)
{
    uint32_t v;
    std::memcpy(&v, bytes.data() + offset, 4);
    return v;
}

inline float f32At(const std::vector<unsigned char> &bytes, size_t offset)
{
    float v;
    std::memcpy(&v, bytes.data() + offset, 4);
    return v;
}

inline std::string textAt(const std::vector<unsigned char> &bytes, size_t offset)
{
    return std::string(reinterpret_cast<const char *>(bytes.data() + offset));
}

inline off_t regionSize(const std::string &name)
{
    struct stat st {};
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) {
        return -1;
    }
    fstat(fd, &st);
    close(fd);
    return st.st_size;
}

inline ino_t regionInode(const std::string &name)
{
    struct stat st {};
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) {
        return 0;
    }
    fstat(fd, &st);
    close(fd);
    return st.st_ino;
}

// Creates region `name` with `size` bytes, every byte set to `fill`.
inline void createFilledRegion(const std::string &name, size_t size, unsigned char fill)
{
    shm_unlink(name.c_str());
    int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
    if (fd < 0) {
        return;
    }
    if (ftruncate(fd, static_cast<off_t>(size)) == 0) {
        void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) {
            std::memset(map, fill, size);
            munmap(map, size);
        }
    }
    close(fd);
}

} // namespace tidewell::testing_support
