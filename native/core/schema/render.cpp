#include "core/schema/render.hpp"

#include <cstddef>
#include <string_view>

namespace qvtok::schema {

namespace {

constexpr bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

void write_string(std::string& out, std::string_view s) {
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
    out += '"';
}

void write_break(std::string& out, std::size_t level) {
    out += '\n';
    out.append(2 * level, ' ');
}

void write_node(std::string& out, const SchemaNode& node, std::size_t level) {
    switch (node.form) {
        case SchemaNode::Form::Text:
            write_string(out, node.text);
            return;
        case SchemaNode::Form::Array: {
            if (node.items.empty()) {
                out += "[]";
                return;
            }
            out += '[';
            bool first = true;
            for (const SchemaNode& item : node.items) {
                if (!first) out += ',';
                first = false;
                write_break(out, level + 1);
                write_node(out, item, level + 1);
            }
            write_break(out, level);
            out += ']';
            return;
        }
        case SchemaNode::Form::Object: {
            if (node.fields.empty()) {
                out += "{}";
                return;
            }
            out += '{';
            bool first = true;
            for (const SchemaField& field : node.fields) {
                if (!first) out += ',';
                first = false;
                write_break(out, level + 1);
                write_string(out, field.name);
                out += ": ";
                write_node(out, field.schema, level + 1);
            }
            write_break(out, level);
            out += '}';
            return;
        }
    }
}

}  // namespace

std::string render_schema(const SchemaNode& schema) {
    std::string out;
    out.reserve(256);
    write_node(out, schema, 0);
    return out;
}

}  // namespace qvtok::schema
