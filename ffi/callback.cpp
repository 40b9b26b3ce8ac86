// The C policy callback: each event as a 64-byte record of C strings that live for one call, the
// returned int as a verdict, and the context functions the callback may call meanwhile.
#include "ffi/callback.hpp"

#include <arpa/inet.h>

#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "ffi/convert.hpp"

struct vestrion_ctx {
    vestrion::PolicyContext* context;
};

namespace vestrion::ffi {

namespace {

std::string ipv4_text(const std::uint8_t* b) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

// The compressed form: lower-case hex without leading zeros, the longest run of two or more
// zero groups (the first of equal runs) as "::", and a mapped IPv4 address in dotted decimal.
std::string ipv6_text(const std::array<std::uint8_t, 16>& b) {
    constexpr std::array<std::uint8_t, 12> mapped{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::equal(mapped.begin(), mapped.end(), b.begin())) return "::ffff:" + ipv4_text(&b[12]);
    std::array<unsigned, 8> groups;
    for (int i = 0; i < 8; ++i) groups[i] = (b[2 * i] << 8) | b[2 * i + 1];
    int best = -1, best_len = 0;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && groups[j] == 0) ++j;
        if (j - i > best_len && j - i >= 2) best = i, best_len = j - i;
        i = j == i ? i + 1 : j;
    }
    std::string text;
    char group[8];
    for (int i = 0; i < 8; ++i) {
        if (i == best) {
            text += "::";
            i += best_len - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') text += ':';
        std::snprintf(group, sizeof group, "%x", groups[i]);
        text += group;
    }
    return text;
}

std::string address_text(const IpAddr& address) {
    if (auto* v4 = std::get_if<std::array<std::uint8_t, 4>>(&address)) return ipv4_text(v4->data());
    return ipv6_text(std::get<std::array<std::uint8_t, 16>>(address));
}

// The record and the strings it points at, alive for one call of the C function.
struct EventRecord {
    std::string syscall;
    std::optional<std::string> path;
    std::optional<std::string> host;
    std::vector<std::string> args;
    std::vector<const char*> argv;
    vestrion_event_t record{};

    explicit EventRecord(SyscallEvent event)
        : syscall(std::move(event.syscall)),
          path(std::move(event.path)),
          args(event.argv.value_or(std::vector<std::string>{})) {
        if (event.host) host = address_text(*event.host);
        for (const std::string& arg : args) argv.push_back(arg.c_str());
        record.syscall = syscall.c_str();
        record.category = static_cast<std::uint8_t>(event.category);
        record.pid = event.pid;
        record.ppid = event.ppid.value_or(0);
        record.path = path ? path->c_str() : nullptr;
        record.host = host ? host->c_str() : nullptr;
        record.port = event.port.value_or(0);
        record.denied = event.denied ? 1 : 0;
        record.argv = argv.empty() ? nullptr : argv.data();
        record.argc = static_cast<std::uint32_t>(argv.size());
    }
    EventRecord(const EventRecord&) = delete;
    EventRecord& operator=(const EventRecord&) = delete;
};

Verdict verdict_of(int value) {
    if (value == VESTRION_DENY) return Verdict::deny();
    if (value == VESTRION_DEFER) return Verdict::defer();
    // Above 4095 the supervisor refuses with EPERM: no error number is that large.
    if (value > 0) return Verdict::deny_with(value);
    return Verdict::allow();
}

// The entries that parse as an IPv4 or IPv6 address; none when the list cannot be read.
std::optional<std::vector<IpAddr>> parse_addresses(const char* const* ips, std::uint32_t n) {
    std::vector<IpAddr> addresses;
    if (n == 0) return addresses;
    if (!ips) return std::nullopt;
    for (std::uint32_t i = 0; i < n; ++i) {
        if (!ips[i]) continue;
        std::string entry = strict(ips[i]);
        std::array<std::uint8_t, 4> v4;
        std::array<std::uint8_t, 16> v6;
        if (inet_pton(AF_INET, entry.c_str(), v4.data()) == 1)
            addresses.emplace_back(v4);
        else if (inet_pton(AF_INET6, entry.c_str(), v6.data()) == 1)
            addresses.emplace_back(v6);
    }
    return addresses;
}

PolicyContext* context_of(vestrion_ctx_t* ctx) { return ctx ? ctx->context : nullptr; }

}  // namespace

PolicyFn bridge_policy_fn(vestrion_policy_fn_t fn) {
    // Not noexcept: a pthread_exit in the C function unwinds through here.
    return [fn](SyscallEvent event, PolicyContext& context) {
        EventRecord record(std::move(event));
        vestrion_ctx slot{&context};
        return verdict_of(fn(&record.record, &slot));
    };
}

}  // namespace vestrion::ffi

using vestrion::ffi::context_of;
using vestrion::ffi::parse_addresses;
using vestrion::ffi::strict;

extern "C" {

void vestrion_ctx_allow_path(vestrion_ctx_t* ctx, const char* path) noexcept {
    if (auto* context = context_of(ctx); context && path) context->allow_path(strict(path));
}

void vestrion_ctx_deny_path(vestrion_ctx_t* ctx, const char* path) noexcept {
    if (auto* context = context_of(ctx); context && path) context->deny_path(strict(path));
}

void vestrion_ctx_grant_network(vestrion_ctx_t* ctx, const char* const* ips,
                                std::uint32_t n) noexcept {
    auto* context = context_of(ctx);
    if (!context) return;
    if (auto addresses = parse_addresses(ips, n)) (void)context->grant_network(*addresses);
}

void vestrion_ctx_restrict_network(vestrion_ctx_t* ctx, const char* const* ips,
                                   std::uint32_t n) noexcept {
    auto* context = context_of(ctx);
    if (!context) return;
    if (auto addresses = parse_addresses(ips, n)) context->restrict_network(*addresses);
}

void vestrion_ctx_restrict_pid_network(vestrion_ctx_t* ctx, int pid, const char* const* ips,
                                       std::uint32_t n) noexcept {
    auto* context = context_of(ctx);
    if (!context) return;
    if (auto addresses = parse_addresses(ips, n))
        context->restrict_pid_network(static_cast<std::uint32_t>(pid), *addresses);
}

void vestrion_ctx_restrict_max_memory(vestrion_ctx_t* ctx, std::uint64_t bytes) noexcept {
    if (auto* context = context_of(ctx)) context->restrict_max_memory(bytes);
}

void vestrion_ctx_restrict_max_processes(vestrion_ctx_t* ctx, std::uint32_t n) noexcept {
    if (auto* context = context_of(ctx)) context->restrict_max_processes(n);
}

}  // extern "C"
