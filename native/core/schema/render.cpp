#include "core/schema/render.hpp"

#include <cstddef>
#include <string_view>

namespace qvtok::schema {

namespace {

constexpr bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// s and then suffix, which needs no escaping, between quotes.
void write_string(std::string& out, std::string_view s, std::string_view suffix = {}) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    std::size_t run = 0;  // start of the bytes not yet copied
    for (std::size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (!needs_escape(c)) continue;
        out.append(s.data() + run, i - run);
        run = i + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case 0x08: out += "\\b"; break;
            case 0x09: out += "\\t"; break;
            case 0x0A: out += "\\n"; break;
            case 0x0C: out += "\\f"; break;
            case 0x0D: out += "\\r"; break;
            default: {
                char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
                out.append(esc, sizeof esc);
                break;
            }
        }
    }
    out.append(s.data() + run, s.size() - run);
    out += suffix;
    out += '"';
}

void write_break(std::string& out, std::size_t level) {
    out += '\n';
    out.append(2 * level, ' ');
}

void write_position(std::string& out, Schema::Position p, std::size_t level);

void write_array(std::string& out, Schema::Position p, std::size_t level) {
    if (!p.has_elements()) {
        out += "[]";
        return;
    }
    out += '[';
    write_break(out, level + 1);
    write_position(out, p.elements(), level + 1);
    write_break(out, level);
    out += ']';
}

void write_object(std::string& out, Schema::Position p, std::size_t level) {
    Schema::Fields fields = p.fields();
    if (fields.size() == 0) {
        out += "{}";
        return;
    }
    out += '{';
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i != 0) out += ',';
        write_break(out, level + 1);
        write_string(out, fields.key(i), fields.optional(i) ? "?" : "");
        out += ": ";
        write_position(out, fields.schema(i), level + 1);
    }
    write_break(out, level);
    out += '}';
}

void write_position(std::string& out, Schema::Position p, std::size_t level) {
    std::string types = p.type_expression();
    bool has_arrays = p.has_arrays();
    bool has_objects = p.has_objects();
    int variants = !types.empty() + has_arrays + has_objects;
    if (variants == 0) {
        write_string(out, "unknown");
        return;
    }
    if (variants == 1) {
        if (has_objects) {
            write_object(out, p, level);
        } else if (has_arrays) {
            write_array(out, p, level);
        } else {
            write_string(out, types);
        }
        return;
    }
    // A union is an object whose one field lists the variants in a fixed
    // order: scalars, arrays, objects.
    out += '{';
    write_break(out, level + 1);
    write_string(out, "__oneof__");
    out += ": [";
    bool first = true;
    auto next_variant = [&] {
        if (!first) out += ',';
        first = false;
        write_break(out, level + 2);
    };
    if (!types.empty()) {
        next_variant();
        write_string(out, types);
    }
    if (has_arrays) {
        next_variant();
        write_array(out, p, level + 2);
    }
    if (has_objects) {
        next_variant();
        write_object(out, p, level + 2);
    }
    write_break(out, level + 1);
    out += ']';
    write_break(out, level);
    out += '}';
}

}  // namespace

std::string render_schema(const Schema& schema) {
    std::string out;
    out.reserve(256);
    write_position(out, schema.root(), 0);
    return out;
}

}  // namespace qvtok::schema
