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

}  // namespace

struct Span::Data {
    std::string_view name;
    std::vector<OwnedField> fields;

    void append(std::string& out, bool colour) const {
        detail::append_painted(out, "1", name, colour);
        if (!fields.empty()) {
            detail::append_painted(out, "1", "{", colour);
            bool first = true;
            for (const OwnedField& field : fields) {
                if (!first) out += ' ';
                first = false;
                detail::append_painted(out, "3", field.name, colour);
                detail::append_painted(out, "2", "=", colour);
                detail::append_field_value(out, Field{field.name, field.form, field.text, field.number, field.items});
            }
            detail::append_painted(out, "1", "}", colour);
        }
        detail::append_painted(out, "2", ":", colour);
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
        if (depth < std::size(chain))
            chain[depth++] = e;
        else
            deep.push_back(e);
    }
    for (auto it = deep.rbegin(); it != deep.rend(); ++it)
        static_cast<const Span::Data*>((*it)->data_)->append(out, colour);
    for (std::size_t i = depth; i-- > 0;) static_cast<const Span::Data*>(chain[i]->data_)->append(out, colour);
    out += ' ';
}

}  // namespace quillfern::log
