#include "TidewellHelpers/TidewellHelperStartup.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "TidewellStream/TidewellHelperDevices.h"
#include "TidewellStream/TidewellHelperEnvironment.h"
#include "TidewellStream/TidewellHelperRuntime.h"

void TidewellHelperInstallStopHandlers() {
    std::signal(SIGINT, SignalHandler);
    std::signal(SIGTERM, SignalHandler);
    InstallServiceRestartedListener();
}

void TidewellHelperApplyRoutes(TidewellHelperRing* ring, const char* variableName) {
    TidewellRouteTable routes;
    ParseRoutes(&routes, variableName);
    ring->routeCount = routes.count;
    std::memcpy(ring->routes, routes.routes, sizeof routes.routes);
}

void TidewellHelperOpenControlsAndMeter(TidewellControlReader* controls, const char* ownerID, TidewellHelperRing* ring,
                                        uint32_t gainChannels, uint32_t meterChannels) {
    if (ownerID != nullptr && TidewellControlReaderOpen(controls, ownerID)) {
        TidewellHelperPollControls(controls, ownerID, &ring->masterGain, ring->channelGains, gainChannels);
    }
    TidewellMeterWriterOpen(&ring->meterWriter, ownerID, meterChannels);
}

double TidewellHelperLoopStart(TidewellHelperLoop* loop, TidewellHelperRing* ring, uint32_t bufferFrames,
                               const char* prefix, double durationSeconds) {
    TidewellAdaptiveFillConfig fillConfig;
    TidewellAdaptiveFillConfigInit(&fillConfig, bufferFrames + 32, bufferFrames,
                                   bufferFrames / 2 > 32 ? bufferFrames / 2 : 32);
    TidewellAdaptiveFillConfigApplyEnvironment(&fillConfig, prefix);
    const TidewellHelperRingCounters counters{&ring->readPosition, &ring->writePosition, &ring->captured,
                                              &ring->rendered,     &ring->dropped,       &ring->underrun,
                                              &ring->targetFill,   &ring->explainedUnderrun, &ring->stepCorrections};
    return TidewellHelperLoopInit(loop, counters, &fillConfig, durationSeconds);
}

void TidewellHelperRunLoop(TidewellHelperLoop* loop, TidewellControlReader* controls, const char* ownerID,
                           TidewellHelperRing* ring, uint32_t gainChannels, TidewellDeviceFollower* followers,
                           size_t followerCount) {
    while (gStopRequested.load(std::memory_order_relaxed) == 0) {
        usleep(kTidewellTickMicroseconds);
        TidewellHelperPollControls(controls, ownerID, &ring->masterGain, ring->channelGains, gainChannels);
        if (TidewellDeviceFollowersTick(followers, followerCount)) {
            TidewellHelperLoopRestartFill(loop);
        }
        if (TidewellHelperLoopEndTick(loop, stdout)) {
            break;
        }
    }
}

TidewellOutputBridgeConfig TidewellHelperBridgeConfig(const char* deviceUID, double sampleRate, uint32_t channels,
                                                      uint32_t bufferFrames, TidewellOutputBackend backend,
                                                      TidewellHelperRing* ring) {
    return TidewellOutputBridgeConfig{deviceUID, sampleRate, channels,  bufferFrames, backend,
                                      true,      OutputBridgeCallback, ring, stderr};
}

void TidewellHelperPrintOutputBackend(const TidewellOutputBridge* bridge) {
    std::printf("Output backend: %s.\n", TidewellOutputBridgeBackendName(bridge->activeBackend));
    if (bridge->activeBackend == TidewellOutputBackendAudioQueue) {
        std::printf("Output queue buffers: %u.\n", bridge->queueBufferCount);
    }
}

void TidewellHelperReportStopping(const char* what, const TidewellHelperRing* ring) {
    TidewellHelperPrintStopped(stdout, what, ring->captured.load(), ring->rendered.load(), ring->dropped.load(),
                               ring->underrun.load(), ring->stepCorrections.load());
    TidewellArmShutdownWatchdog(2);
}
