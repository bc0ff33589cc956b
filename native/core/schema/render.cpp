#include "core/schema/render.hpp"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

std::string line_break(std::size_t level) { return "\n" + std::string(2 * level, ' '); }

std::string quoted(std::string_view s, std::string_view suffix = {}) {
    std::string out;
    write_string(out, s, suffix);
    return out;
}

// What is left to write, the next piece last: text as it stands, the
// schema of a position (whole, or one of its array and object variants) at
// an indentation level, or an object's fields from one of them on. A schema
// as deep as the records it describes is written without the native stack
// growing with it, and what waits is one task or two per level.
struct Task {
    enum class Kind : std::uint8_t { Text, Position, Array, Object, Field };
    Kind kind;
    std::string text;
    std::optional<Schema::Position> position;
    std::shared_ptr<const Schema::Fields> fields;
    std::size_t index = 0;  // Field: the field to write
    std::size_t level = 0;

    static Task of_text(std::string text) { return Task{Kind::Text, std::move(text), std::nullopt, nullptr, 0, 0}; }
    static Task of(Kind kind, Schema::Position p, std::size_t level) { return Task{kind, {}, p, nullptr, 0, level}; }
    static Task of_field(std::shared_ptr<const Schema::Fields> fields, std::size_t index, std::size_t level) {
        return Task{Kind::Field, {}, std::nullopt, std::move(fields), index, level};
    }
};

void write_array(std::string& out, Schema::Position p, std::size_t level, std::vector<Task>& todo) {
    if (!p.has_elements()) {
        out += "[]";
        return;
    }
    out += '[';
    out += line_break(level + 1);
    todo.push_back(Task::of_text(line_break(level) + "]"));
    todo.push_back(Task::of(Task::Kind::Position, p.elements(), level + 1));
}

void write_object(std::string& out, Schema::Position p, std::size_t level, std::vector<Task>& todo) {
    auto fields = std::make_shared<const Schema::Fields>(p.fields());
    if (fields->size() == 0) {
        out += "{}";
        return;
    }
    out += '{';
    todo.push_back(Task::of_text(line_break(level) + "}"));
    todo.push_back(Task::of_field(std::move(fields), 0, level));
}

// Field `i` of an object at `level`, and then the ones after it.
void write_field(std::string& out, std::shared_ptr<const Schema::Fields> fields, std::size_t i, std::size_t level,
                 std::vector<Task>& todo) {
    if (i != 0) out += ',';
    out += line_break(level + 1);
    write_string(out, fields->key(i), fields->optional(i) ? "?" : "");
    out += ": ";
    Schema::Position value = fields->schema(i);
    if (i + 1 < fields->size()) todo.push_back(Task::of_field(std::move(fields), i + 1, level));
    todo.push_back(Task::of(Task::Kind::Position, value, level + 1));
}

void write_position(std::string& out, Schema::Position p, std::size_t level, std::vector<Task>& todo) {
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
            write_object(out, p, level, todo);
        } else if (has_arrays) {
            write_array(out, p, level, todo);
        } else {
            write_string(out, types);
        }
        return;
    }
    // A union is an object whose one field lists the variants in a fixed
    // order: scalars, arrays, objects.
    out += '{';
    out += line_break(level + 1);
    write_string(out, "__oneof__");
    out += ": [";
    todo.push_back(Task::of_text(line_break(level + 1) + "]" + line_break(level) + "}"));
    // Pushed last first; every variant but the first follows a comma.
    const std::string before_first = line_break(level + 2), before_next = "," + before_first;
    if (has_objects) {
        todo.push_back(Task::of(Task::Kind::Object, p, level + 2));
        todo.push_back(Task::of_text(has_arrays || !types.empty() ? before_next : before_first));
    }
    if (has_arrays) {
        todo.push_back(Task::of(Task::Kind::Array, p, level + 2));
        todo.push_back(Task::of_text(!types.empty() ? before_next : before_first));
    }
    if (!types.empty()) todo.push_back(Task::of_text(before_first + quoted(types)));
}

}  // namespace

std::string render_schema(const Schema& schema) {
    std::string out;
    out.reserve(256);
    std::vector<Task> todo;
    todo.push_back(Task::of(Task::Kind::Position, schema.root(), 0));
    while (!todo.empty()) {
        Task task = std::move(todo.back());
        todo.pop_back();
        switch (task.kind) {
            case Task::Kind::Text: out += task.text; break;
            case Task::Kind::Position: write_position(out, *task.position, task.level, todo); break;
            case Task::Kind::Array: write_array(out, *task.position, task.level, todo); break;
            case Task::Kind::Object: write_object(out, *task.position, task.level, todo); break;
            case Task::Kind::Field: write_field(out, std::move(task.fields), task.index, task.level, todo); break;
        }
    }
    return out;
}

}  // namespace qvtok::schema
