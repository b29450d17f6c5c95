#include "TidewellApp/RoutingPort.h"

#include <array>

namespace tidewell {

namespace {

constexpr std::array<std::string_view, 4> roleRawValues = {"sourceOutput", "outputInput",
                                                           "outputOutput", "monitorInput"};

// Feeds one more value into a running hash, in order.
void combine(std::size_t& seed, std::size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

}  // namespace

std::string RoutingEndpointID::id() const {
    return kind + ":" + ownerID + ":" + std::to_string(channel);
}

std::string_view rawValue(RoutingPortRole role) { return roleRawValues[std::size_t(role)]; }

std::optional<RoutingPortRole> routingPortRoleFromRawValue(std::string_view raw) {
    for (std::size_t i = 0; i < roleRawValues.size(); ++i) {
        if (roleRawValues[i] == raw) return RoutingPortRole(i);
    }
    return std::nullopt;
}

std::string RoutingPortID::id() const {
    return std::string(rawValue(role)) + ":" + endpoint.id();
}

std::string endpointKindText(EndpointKind kind) { return std::string(rawValue(kind)); }

EndpointKind endpointKindFromText(std::string_view text) {
    const auto kind = endpointKindFromRawValue(text);
    return kind ? *kind : EndpointKind::deviceOutput;
}

RoutingEndpointID routingEndpoint(const WireEndpoint& end) {
    return {endpointKindText(end.kind), end.ownerID, end.channel};
}

void mergePortFrames(RoutingPortFrames& accumulated, const RoutingPortFrames& next) {
    for (const auto& [port, frame] : next) accumulated.insert_or_assign(port, frame);
}

RoutingPortHoverHandler defaultRoutingPortHover() {
    return [](const RoutingPortID&, bool) {};
}

}  // namespace tidewell

std::size_t std::hash<tidewell::RoutingEndpointID>::operator()(
    const tidewell::RoutingEndpointID& endpoint) const noexcept {
    std::size_t seed = 0;
    tidewell::combine(seed, std::hash<std::string>{}(endpoint.kind));
    tidewell::combine(seed, std::hash<std::string>{}(endpoint.ownerID));
    tidewell::combine(seed, std::hash<std::int64_t>{}(endpoint.channel));
    return seed;
}

std::size_t std::hash<tidewell::RoutingPortRole>::operator()(
    tidewell::RoutingPortRole role) const noexcept {
    return std::hash<std::string_view>{}(tidewell::rawValue(role));
}

std::size_t std::hash<tidewell::RoutingPortID>::operator()(
    const tidewell::RoutingPortID& port) const noexcept {
    std::size_t seed = std::hash<tidewell::RoutingEndpointID>{}(port.endpoint);
    tidewell::combine(seed, std::hash<tidewell::RoutingPortRole>{}(port.role));
    return seed;
}
