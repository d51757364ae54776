#pragma once
// The published 64-bit ASIO driver interface, declared here from its binary
// layout: an in-process COM object whose class id doubles as its interface
// id, with the methods below after IUnknown's, in this vtable order. Only
// Windows translation units include this header.

// windows.h first: the COM headers rely on it.
#include <windows.h>

#include <unknwn.h>

#include <cstdint>

#include "platform/AsioDriver.h"

namespace al::platform::asio {

// `long` of the driver interface is 32 bits on 64-bit Windows, so the host's
// callbacks in platform/AsioDriver.h have exactly the driver's signatures.
static_assert(sizeof(long) == 4, "the driver interface's long is 32 bits on Win64");
using Long = std::int32_t;
using Bool = std::int32_t;
using Error = std::int32_t;
using SampleRate = double;
using SampleType = std::int32_t;

struct Samples {
    std::uint32_t hi;
    std::uint32_t lo;
};
using TimeStamp = Samples;

struct ClockSource {
    Long index;
    Long associatedChannel;
    Long associatedGroup;
    Bool isCurrentSource;
    char name[32];
};

struct ChannelInfo {
    Long channel;
    Bool isInput;
    Bool isActive;
    Long channelGroup;
    SampleType type;
    char name[32];
};

struct BufferInfo {
    Bool isInput;
    Long channelNum;
    void* buffers[2];
};

using Callbacks = AsioCallbacks;

// The I/O format record of future(kAsioSetIoFormat): its type, then reserved
// bytes that fill the record to 512 bytes and must be zero.
struct IoFormat {
    std::int32_t formatType;
    char future[512 - sizeof(std::int32_t)];
};

static_assert(sizeof(Samples) == 8);
static_assert(sizeof(ChannelInfo) == 52);
static_assert(sizeof(BufferInfo) == 24);
static_assert(sizeof(Callbacks) == 32);
static_assert(sizeof(IoFormat) == 512);

// A COM interface is released through IUnknown, never deleted, so it has no
// destructor of its own (a virtual one would shift every method's slot).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class IAsio : public IUnknown {
  public:
    virtual Bool init(void* sysHandle) = 0;
    virtual void getDriverName(char* name) = 0;
    virtual Long getDriverVersion() = 0;
    virtual void getErrorMessage(char* text) = 0;
    virtual Error start() = 0;
    virtual Error stop() = 0;
    virtual Error getChannels(Long* inputs, Long* outputs) = 0;
    virtual Error getLatencies(Long* inputLatency, Long* outputLatency) = 0;
    virtual Error getBufferSize(Long* minSize, Long* maxSize, Long* preferredSize,
                                Long* granularity) = 0;
    virtual Error canSampleRate(SampleRate rate) = 0;
    virtual Error getSampleRate(SampleRate* rate) = 0;
    virtual Error setSampleRate(SampleRate rate) = 0;
    virtual Error getClockSources(ClockSource* clocks, Long* count) = 0;
    virtual Error setClockSource(Long reference) = 0;
    virtual Error getSamplePosition(Samples* position, TimeStamp* stamp) = 0;
    virtual Error getChannelInfo(ChannelInfo* info) = 0;
    virtual Error createBuffers(BufferInfo* infos, Long channels, Long bufferSize,
                                Callbacks* callbacks) = 0;
    virtual Error disposeBuffers() = 0;
    virtual Error controlPanel() = 0;
    virtual Error future(Long selector, void* opt) = 0;
    virtual Error outputReady() = 0;
};
#pragma GCC diagnostic pop

}  // namespace al::platform::asio
