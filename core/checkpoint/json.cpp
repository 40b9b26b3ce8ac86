#include "core/checkpoint/json.hpp"

#include <nlohmann/json.hpp>

#include <iterator>
#include <limits>
#include <unordered_set>

#include "core/text.hpp"

namespace vestrion::checkpoint::json {

namespace {

VestrionError reader_error(std::string text) { return SandboxError(SandboxError::Child{std::move(text)}); }

// Walks the text for the parser and records how far it has read, so that each event knows
// where the value it reports ends.
struct CountingIterator {
    using iterator_category = std::forward_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    const char* at = nullptr;
    const char** cursor = nullptr;

    reference operator*() const { return *at; }
    CountingIterator& operator++() {
        ++at;
        *cursor = at;
        return *this;
    }
    CountingIterator operator++(int) {
        CountingIterator before = *this;
        ++*this;
        return before;
    }
    bool operator==(const CountingIterator& other) const { return at == other.at; }
};

class Builder {
  public:
    using number_integer_t = std::int64_t;
    using number_unsigned_t = std::uint64_t;
    using number_float_t = double;
    using string_t = std::string;
    using binary_t = nlohmann::json::binary_t;

    Builder(std::string_view text, const char** cursor) : text_(text), cursor_(cursor) {}

    bool null() { return value(Node{}); }
    bool boolean(bool b) {
        Node n;
        n.kind = Node::Kind::Bool;
        n.boolean = b;
        return value(std::move(n));
    }
    bool number_integer(std::int64_t v) {
        Node n;
        n.kind = Node::Kind::Int;
        n.integer = v;
        return value(std::move(n));
    }
    bool number_unsigned(std::uint64_t v) {
        Node n;
        n.kind = Node::Kind::Uint;
        n.uinteger = v;
        return value(std::move(n));
    }
    bool number_float(double v, const std::string&) {
        Node n;
        n.kind = Node::Kind::Float;
        n.floating = v;
        return value(std::move(n));
    }
    bool string(std::string& s) {
        Node n;
        n.kind = Node::Kind::String;
        n.string = std::move(s);
        return value(std::move(n));
    }
    bool binary(binary_t&) { return fail("binary values are not JSON"); }
    bool start_object(std::size_t) {
        Node n;
        n.kind = Node::Kind::Object;
        return open(std::move(n));
    }
    bool key(std::string& k) {
        if (!keys_.back().insert(k).second)
            return fail("duplicate field `" + k + "` " + position(text_, offset()));
        pending_key_ = std::move(k);
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) {
        Node n;
        n.kind = Node::Kind::Array;
        return open(std::move(n));
    }
    bool end_array() { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
        return fail(e.what());
    }

    std::optional<std::string> error;
    Node root;

  private:
    std::size_t offset() const { return static_cast<std::size_t>(*cursor_ - text_.data()); }
    bool fail(std::string text) {
        if (!error) error = std::move(text);
        return false;
    }
    // Places a value in the open container, or as the root; returns where it now lives.
    Node* place(Node n) {
        if (stack_.empty()) {
            root = std::move(n);
            return &root;
        }
        Node& parent = *stack_.back();
        if (parent.kind == Node::Kind::Object) {
            parent.members.push_back(Member{std::move(pending_key_), std::move(n)});
            return &parent.members.back().value;
        }
        parent.items.push_back(std::move(n));
        return &parent.items.back();
    }
    bool counted() {
        if (++values_ <= kMaxValues) return true;
        return fail("more than " + std::to_string(kMaxValues) + " values " + position(text_, offset()));
    }
    bool value(Node n) {
        if (!counted()) return false;
        n.end = offset();
        place(std::move(n));
        return true;
    }
    bool open(Node n) {
        if (!counted()) return false;
        if (stack_.size() >= kMaxDepth)
            return fail("nested deeper than " + std::to_string(kMaxDepth) + " levels " + position(text_, offset()));
        stack_.push_back(place(std::move(n)));
        keys_.emplace_back();
        return true;
    }
    bool close() {
        stack_.back()->end = offset();
        stack_.pop_back();
        keys_.pop_back();
        return true;
    }

    std::string_view text_;
    const char** cursor_;
    // The open containers, innermost last. Only the innermost grows, so the pointers to the
    // others stay valid.
    std::vector<Node*> stack_;
    // The keys seen in each open container, beside `stack_`: a key given twice is found at once.
    std::vector<std::unordered_set<std::string>> keys_;
    std::size_t values_ = 0;
    std::string pending_key_;
};

std::string unexpected(const Node& n) {
    switch (n.kind) {
        case Node::Kind::Null: return "null";
        case Node::Kind::Bool: return std::string("boolean `") + (n.boolean ? "true" : "false") + "`";
        case Node::Kind::Int: return "integer `" + std::to_string(n.integer) + "`";
        case Node::Kind::Uint: return "integer `" + std::to_string(n.uinteger) + "`";
        case Node::Kind::Float: return "floating point `" + nlohmann::json(n.floating).dump() + "`";
        case Node::Kind::String: return "string " + text::quoted(n.string);
        case Node::Kind::Array: return "sequence";
        case Node::Kind::Object: return "map";
    }
    return "value";
}

const char* expected(Field::Type type) {
    switch (type) {
        case Field::Type::I32: return "i32";
        case Field::Type::U64: return "u64";
        case Field::Type::String: return "a string";
        case Field::Type::OptionalString: return "a string or null";
    }
    return "a value";
}

// Why the value does not fit the field's type; "" when it does.
std::string misfit(const Node& n, Field::Type type) {
    using K = Node::Kind;
    switch (type) {
        case Field::Type::I32:
        case Field::Type::U64: {
            if (n.kind != K::Int && n.kind != K::Uint)
                return "invalid type: " + unexpected(n) + ", expected " + expected(type);
            bool fits = type == Field::Type::U64
                            ? (n.kind == K::Uint || n.integer >= 0)
                            : (n.kind == K::Int ? n.integer >= std::numeric_limits<std::int32_t>::min() &&
                                                      n.integer <= std::numeric_limits<std::int32_t>::max()
                                                : n.uinteger <= static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()));
            return fits ? "" : "invalid value: " + unexpected(n) + ", expected " + expected(type);
        }
        case Field::Type::String:
            return n.kind == K::String ? "" : "invalid type: " + unexpected(n) + ", expected " + expected(type);
        case Field::Type::OptionalString:
            return n.kind == K::String || n.kind == K::Null
                       ? ""
                       : "invalid type: " + unexpected(n) + ", expected " + expected(type);
    }
    return "";
}

}  // namespace

std::string position(std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    std::size_t line = 1, line_start = 0;
    for (std::size_t i = 0; i < offset; ++i)
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    return "at line " + std::to_string(line) + " column " + std::to_string(offset - line_start);
}

Result<Node> parse(std::string_view text) {
    if (!text::is_valid_utf8(text))
        return std::unexpected(VestrionError(SandboxError(SandboxError::Io{
            SystemError::with_message(SystemError::Kind::InvalidInput, "stream did not contain valid UTF-8")})));
    const char* cursor = text.data();
    Builder builder(text, &cursor);
    CountingIterator first{text.data(), &cursor}, last{text.data() + text.size(), &cursor};
    bool ok = nlohmann::json::sax_parse(first, last, &builder);
    if (!ok || builder.error)
        return std::unexpected(reader_error(builder.error.value_or("JSON does not parse")));
    return std::move(builder.root);
}

Result<Values> record(const Node& node, std::string_view text, std::string_view name,
                      std::span<const Field> fields) {
    Values values(fields.size(), nullptr);
    auto fail = [&](std::string why, std::size_t at) {
        return std::unexpected(reader_error(why + " " + position(text, at)));
    };
    if (node.kind == Node::Kind::Array) {
        if (node.items.size() != fields.size())
            return fail("invalid length " + std::to_string(node.items.size()) + ", expected struct " +
                            std::string(name) + " with " + std::to_string(fields.size()) + " elements",
                        node.end);
        for (std::size_t i = 0; i < fields.size(); ++i) values[i] = &node.items[i];
    } else if (node.kind == Node::Kind::Object) {
        for (const auto& [key, value] : node.members)
            for (std::size_t i = 0; i < fields.size(); ++i)
                if (key == fields[i].key) values[i] = &value;
    } else {
        return fail("invalid type: " + unexpected(node) + ", expected struct " + std::string(name), node.end);
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const Node* v = values[i];
        if (!v) {
            if (fields[i].type == Field::Type::OptionalString) continue;
            return fail("missing field `" + std::string(fields[i].key) + "`", node.end);
        }
        if (std::string why = misfit(*v, fields[i].type); !why.empty()) return fail(why, v->end);
        if (v->kind == Node::Kind::Null) values[i] = nullptr;
    }
    return values;
}

std::int32_t as_i32(const Node& n) {
    return static_cast<std::int32_t>(n.kind == Node::Kind::Int ? n.integer : static_cast<std::int64_t>(n.uinteger));
}

std::uint64_t as_u64(const Node& n) {
    return n.kind == Node::Kind::Uint ? n.uinteger : static_cast<std::uint64_t>(n.integer);
}

}  // namespace vestrion::checkpoint::json
