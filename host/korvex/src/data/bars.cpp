#include "korvex/bars.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "korvex/errors.hpp"

namespace korvex {

std::size_t FieldSpec::size() const {
    if (type.size() < 3) return 0;
    return static_cast<std::size_t>(type[2] - '0');
}

RecordLayout::RecordLayout(std::initializer_list<std::pair<std::string, std::string>> fields) {
    for (auto& [name, type] : fields) append(name, type);
}

RecordLayout RecordLayout::aligned(
    std::initializer_list<std::pair<std::string, std::string>> fields) {
    RecordLayout layout;
    std::size_t widest = 1;
    for (auto& [name, type] : fields) {
        layout.append(name, type);
        FieldSpec& f = layout.fields_.back();
        const std::size_t size = f.size();
        f.offset = (f.offset + size - 1) / size * size;
        layout.itemsize_ = f.offset + size;
        widest = std::max(widest, size);
    }
    layout.itemsize_ = (layout.itemsize_ + widest - 1) / widest * widest;
    return layout;
}

void RecordLayout::append(std::string name, std::string type) {
    if (type.size() != 3 || (type[0] != '<' && type[0] != '=') ||
        (type[1] != 'i' && type[1] != 'u' && type[1] != 'f') || (type[2] != '4' && type[2] != '8'))
        throw ValueError(fmt::format("unsupported field type '{}' of field '{}'", type, name));
    FieldSpec f{std::move(name), std::move(type), itemsize_};
    itemsize_ += f.size();
    fields_.push_back(std::move(f));
}

const FieldSpec* RecordLayout::find(std::string_view name) const {
    for (auto& f : fields_)
        if (f.name == name) return &f;
    return nullptr;
}

const FieldSpec& RecordLayout::at(std::string_view name) const {
    if (auto* f = find(name)) return *f;
    throw KeyError(fmt::format("'{}'", name));
}

std::vector<std::string> RecordLayout::names() const {
    std::vector<std::string> out;
    for (auto& f : fields_) out.push_back(f.name);
    return out;
}

std::string RecordLayout::to_string() const {
    std::string out = "[";
    for (std::size_t i = 0; i < fields_.size(); ++i)
        out += fmt::format("{}('{}', '{}')", i ? ", " : "", fields_[i].name, fields_[i].type);
    return out + "]";
}

bool RecordLayout::operator==(const RecordLayout& other) const {
    if (fields_.size() != other.fields_.size()) return false;
    for (std::size_t i = 0; i < fields_.size(); ++i)
        if (fields_[i].name != other.fields_[i].name ||
            fields_[i].type.substr(1) != other.fields_[i].type.substr(1))
            return false;
    return true;
}

Bars Bars::of_bytes(std::shared_ptr<const std::vector<std::byte>> bytes,
                    const RecordLayout& layout) {
    Bars b;
    b.data_ = bytes->data();
    b.size_ = layout.itemsize() ? bytes->size() / layout.itemsize() : 0;
    b.layout_ = &layout;
    b.owner_ = std::move(bytes);
    return b;
}

namespace {
template <class T>
T load(const std::byte* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}
}  // namespace

std::int64_t Bars::datetime(std::size_t i) const {
    const FieldSpec& f = layout_->fields().front();
    const std::byte* p = record(i) + f.offset;
    if (f.type[1] == 'u') return static_cast<std::int64_t>(load<std::uint64_t>(p));
    if (f.type[2] == '4') return load<std::int32_t>(p);
    return load<std::int64_t>(p);
}

double Bars::get(std::size_t i, const FieldSpec& f) const {
    const std::byte* p = record(i) + f.offset;
    switch (f.type[1]) {
        case 'f':
            return f.type[2] == '8' ? load<double>(p) : load<float>(p);
        case 'u':
            return f.type[2] == '8' ? static_cast<double>(load<std::uint64_t>(p))
                                    : static_cast<double>(load<std::uint32_t>(p));
        default:
            return f.type[2] == '8' ? static_cast<double>(load<std::int64_t>(p))
                                    : static_cast<double>(load<std::int32_t>(p));
    }
}

std::size_t Bars::lower_bound(std::int64_t stamp) const {
    std::size_t lo = 0, hi = size_;
    while (lo < hi) {
        std::size_t mid = (lo + hi) / 2;
        if (datetime(mid) < stamp)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

std::size_t Bars::find(std::int64_t stamp) const {
    std::size_t i = lower_bound(stamp);
    return i < size_ && datetime(i) == stamp ? i : npos;
}

std::size_t Bars::find_at_or_before(std::int64_t stamp) const {
    std::size_t i = lower_bound(stamp);
    if (i < size_ && datetime(i) == stamp) return i;
    return i == 0 ? npos : i - 1;
}

}  // namespace korvex
