// The C calls of checkpoints: take one from a spawn handle, name it, attach bytes, save, load.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "core/checkpoint/checkpoint.hpp"
#include "core/sandbox.hpp"
#include "ffi/convert.hpp"
#include "ffi/handles.hpp"
#include "vestrion.h"

struct vestrion_checkpoint {
    vestrion::Checkpoint checkpoint;
};

extern "C" {

vestrion_checkpoint_t* vestrion_handle_checkpoint(vestrion_handle_t* h) noexcept {
    if (!h) return nullptr;
    auto taken = h->sandbox->checkpoint();
    if (!taken) return nullptr;
    return new vestrion_checkpoint{std::move(*taken)};
}

int vestrion_checkpoint_save(const vestrion_checkpoint_t* cp, const char* dir) noexcept {
    if (!cp || !dir) return -1;
    return cp->checkpoint.save(vestrion::ffi::strict(dir)) ? 0 : -1;
}

vestrion_checkpoint_t* vestrion_checkpoint_load(const char* dir) noexcept {
    if (!dir) return nullptr;
    auto loaded = vestrion::Checkpoint::load(vestrion::ffi::strict(dir));
    if (!loaded) return nullptr;
    return new vestrion_checkpoint{std::move(*loaded)};
}

char* vestrion_checkpoint_name(const vestrion_checkpoint_t* cp) noexcept {
    if (!cp) return nullptr;
    const std::string& name = cp->checkpoint.name;
    if (name.find('\0') != std::string::npos) return nullptr;
    char* copy = static_cast<char*>(std::malloc(name.size() + 1));
    if (!copy) std::abort();
    std::memcpy(copy, name.c_str(), name.size() + 1);
    return copy;
}

void vestrion_checkpoint_set_name(vestrion_checkpoint_t* cp, const char* name) noexcept {
    if (!cp || !name) return;
    cp->checkpoint.name = vestrion::ffi::strict(name);
}

const std::uint8_t* vestrion_checkpoint_app_state(const vestrion_checkpoint_t* cp, std::size_t* len) noexcept {
    if (!cp || !len) return nullptr;
    const auto& state = cp->checkpoint.app_state;
    *len = state ? state->size() : 0;
    // Present but empty still reads as no bytes stored.
    if (!state || state->empty()) return nullptr;
    return reinterpret_cast<const std::uint8_t*>(state->data());
}

void vestrion_checkpoint_set_app_state(vestrion_checkpoint_t* cp, const std::uint8_t* data, std::size_t len) noexcept {
    if (!cp) return;
    if (!data || len == 0) {
        cp->checkpoint.app_state.reset();
        return;
    }
    cp->checkpoint.app_state = std::string(reinterpret_cast<const char*>(data), len);
}

void vestrion_checkpoint_free(vestrion_checkpoint_t* cp) noexcept { delete cp; }

}  // extern "C"
