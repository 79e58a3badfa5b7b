// Spans: named contexts whose fields prefix the lines of the events raised inside them.
#include <vector>

#include <fmt/format.h>

#include "quillfern/log.hpp"
#include "quillfern/text.hpp"

namespace quillfern::log {

namespace {

// A field whose value the span owns.
struct OwnedField {
    std::string_view name;
    FieldForm form;
    std::string text;
    std::uint64_t number;
    std::vector<std::string> items;
};

// The innermost span entered on this thread; each Entered links to the one it covers.
thread_local const Span::Entered* t_innermost = nullptr;

void append_painted(std::string& out, std::string_view sgr, std::string_view shown, bool colour) {
    if (!colour) {
        out += shown;
        return;
    }
    out += "\x1b[";
    out += sgr;
    out += 'm';
    out += shown;
    out += "\x1b[0m";
}

void append_field_value(std::string& out, const OwnedField& field) {
    switch (field.form) {
        case FieldForm::Text:
        case FieldForm::Variant:
            out += field.text;
            break;
        case FieldForm::Number:
            fmt::format_to(std::back_inserter(out), "{}", field.number);
            break;
        case FieldForm::Quoted:
            text::append_debug_quoted(out, field.text);
            break;
        case FieldForm::List: {
            out += '[';
            bool first = true;
            for (const std::string& item : field.items) {
                if (!first) out += ", ";
                first = false;
                text::append_debug_quoted(out, item);
            }
            out += ']';
            break;
        }
    }
}

}  // namespace

struct Span::Data {
    std::string_view name;
    std::vector<OwnedField> fields;

    void append(std::string& out, bool colour) const {
        append_painted(out, "1", name, colour);
        if (!fields.empty()) {
            append_painted(out, "1", "{", colour);
            bool first = true;
            for (const OwnedField& field : fields) {
                if (!first) out += ' ';
                first = false;
                append_painted(out, "3", field.name, colour);
                append_painted(out, "2", "=", colour);
                append_field_value(out, field);
            }
            append_painted(out, "1", "}", colour);
        }
        append_painted(out, "2", ":", colour);
    }
};

Span Span::open(std::string_view name) {
    Span span;
    span.data_ = std::make_shared<Data>();
    span.data_->name = name;
    return span;
}

void Span::record(const Field& field) {
    if (!data_) return;
    OwnedField owned{field.name, field.form, std::string(field.text), field.number, {}};
    if (field.form == FieldForm::List) owned.items.assign(field.items.begin(), field.items.end());
    data_->fields.push_back(std::move(owned));
}

Span::Entered::Entered(const void* data) noexcept : data_(data), outer_(nullptr) {
    if (data_ != nullptr) {
        outer_ = t_innermost;
        t_innermost = this;
    }
}

Span::Entered::~Entered() {
    if (data_ != nullptr) t_innermost = static_cast<const Entered*>(outer_);
}

Span::Entered Span::enter() const noexcept { return Entered(data_.get()); }

void append_span_prefix(std::string& out, bool colour) {
    if (t_innermost == nullptr) return;
    // Outermost first: collect the chain, then write it backwards.
    const Span::Entered* chain[16];
    std::size_t depth = 0;
    std::vector<const Span::Entered*> deep;
    for (const Span::Entered* e = t_innermost; e != nullptr; e = static_cast<const Span::Entered*>(e->outer_)) {
        if (depth < std::size(chain)) chain[depth++] = e;
        else deep.push_back(e);
    }
    for (auto it = deep.rbegin(); it != deep.rend(); ++it) static_cast<const Span::Data*>((*it)->data_)->append(out, colour);
    for (std::size_t i = depth; i-- > 0;) static_cast<const Span::Data*>(chain[i]->data_)->append(out, colour);
    out += ' ';
}

}  // namespace quillfern::log
