// The JSON of a checkpoint directory: a strict reader that keeps where each value ends (for the
// line and column of its messages) and refuses a key given twice, and the records read from it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.hpp"

namespace vestrion::checkpoint::json {

struct Member;

struct Node {
    enum class Kind : std::uint8_t { Null, Bool, Int, Uint, Float, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    std::int64_t integer = 0;
    std::uint64_t uinteger = 0;
    double floating = 0;
    std::string string;
    std::vector<Node> items;
    std::vector<Member> members;
    std::size_t end = 0;  // offset just past the value in the text
};

// A member of an object, in the order of the text.
struct Member {
    std::string key;
    Node value;
};

// What one file may hold: a record is two levels deep, and the largest files list one record
// per mapping or descriptor. Beyond these a hostile file would cost the reader far more memory
// and stack than its own size.
inline constexpr std::size_t kMaxDepth = 64;
inline constexpr std::size_t kMaxValues = std::size_t{1} << 20;

// One JSON value, white space around it and nothing else; the text must be UTF-8. A key that
// occurs twice in one object fails with "duplicate field `{}`" and its position; containers
// nested deeper than `kMaxDepth`, or more than `kMaxValues` values, fail too.
Result<Node> parse(std::string_view text);

// One key of a record, and the type its value must have.
struct Field {
    enum class Type : std::uint8_t { I32, U64, String, OptionalString };
    const char* key;
    Type type;
};

// A record's values, one per field in order; a null `Node` stands for an absent optional one.
// The record is an object (other keys ignored) or an array of exactly its values.
using Values = std::vector<const Node*>;
Result<Values> record(const Node& node, std::string_view text, std::string_view name,
                      std::span<const Field> fields);

// The typed value of one field as `record` checked it.
std::int32_t as_i32(const Node& node);
std::uint64_t as_u64(const Node& node);

// "at line L column C" for an offset of the text.
std::string position(std::string_view text, std::size_t offset);

}  // namespace vestrion::checkpoint::json
