// The driver interface: the table of operations the audio server calls, the exported
// factory that hands it out, and the reference count of the driver object.

#include <TidewellHAL/TWDriver.h>

#include <CoreFoundation/CFUUID.h>

#include <atomic>
#include <cstring>

static AudioServerPlugInDriverInterface gDriverInterface = {
    nullptr,
    Tidewell_QueryInterface,
    Tidewell_AddRef,
    Tidewell_Release,
    TWDriver_Initialize,
    TWDriver_CreateDevice,
    TWDriver_DestroyDevice,
    TWDriver_AddDeviceClient,
    TWDriver_RemoveDeviceClient,
    TWDriver_PerformDeviceConfigurationChange,
    TWDriver_AbortDeviceConfigurationChange,
    TWDriver_HasProperty,
    TWDriver_IsPropertySettable,
    TWDriver_GetPropertyDataSize,
    TWDriver_GetPropertyData,
    TWDriver_SetPropertyData,
    TWDriver_StartIO,
    TWDriver_StopIO,
    TWDriver_GetZeroTimeStamp,
    TWDriver_WillDoIOOperation,
    TWDriver_BeginIOOperation,
    TWDriver_DoIOOperation,
    TWDriver_EndIOOperation,
};
static AudioServerPlugInDriverInterface* gDriverInterfacePointer = &gDriverInterface;
static std::atomic<uint32_t> gReferenceCount{1};

// The reference handed to the host: the address of the word that points at the table.
static AudioServerPlugInDriverRef TWDriverRef() { return &gDriverInterfacePointer; }

static bool TWUUIDEqual(const CFUUIDBytes& a, const CFUUIDBytes& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// ---- factory and reference counting -------------------------------------------------------

extern "C" void* TidewellHALFactory(CFAllocatorRef, CFUUIDRef requestedTypeUUID) {
    if (requestedTypeUUID == nullptr) return nullptr;
    CFUUIDBytes requested = CFUUIDGetUUIDBytes(requestedTypeUUID);
    if (!TWUUIDEqual(requested, kAudioServerPlugInTypeUUIDBytes) &&
        !TWUUIDEqual(requested, kAudioServerPlugInDriverInterfaceUUIDBytes)) {
        return nullptr;
    }
    Tidewell_AddRef(TWDriverRef());
    return TWDriverRef();
}

HRESULT Tidewell_QueryInterface(void*, REFIID uuid, LPVOID* outInterface) {
    if (outInterface == nullptr) return AUDIO_E_POINTER;
    if (TWUUIDEqual(uuid, kAudioServerPlugInDriverInterfaceUUIDBytes) || TWUUIDEqual(uuid, kIUnknownUUIDBytes)) {
        Tidewell_AddRef(TWDriverRef());
        *outInterface = TWDriverRef();
        return 0;
    }
    *outInterface = nullptr;
    return AUDIO_E_NOINTERFACE;
}

ULONG Tidewell_AddRef(void*) { return gReferenceCount.fetch_add(1, std::memory_order_acq_rel) + 1; }

ULONG Tidewell_Release(void*) {
    uint32_t current = gReferenceCount.load(std::memory_order_acquire);
    while (current != 0) {
        if (gReferenceCount.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel)) return current - 1;
    }
    return 0;
}
