// Bar arrays. A store keeps its bars as a contiguous vector of a plain record struct; the host
// reads them through Bars, a type-erased, shared, read-only view that carries the record layout
// (field names, type codes such as "<u8" and "<f8", offsets).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvex {

struct FieldSpec {
    std::string name;
    std::string type;  // "<i8", "<u8", "<f8", "<i4"
    std::size_t offset = 0;
    std::size_t size() const;
};

class RecordLayout {
public:
    RecordLayout() = default;
    // Packed layout in the given order; offsets follow from the type sizes.
    RecordLayout(std::initializer_list<std::pair<std::string, std::string>> fields);
    // The layout of a plain C++ struct of these fields: each at an offset that is a multiple of
    // its size, the record padded to a multiple of its largest field, so no value is misaligned.
    static RecordLayout aligned(std::initializer_list<std::pair<std::string, std::string>> fields);
    // Adds a field at the end (ValueError for an unsupported type).
    void append(std::string name, std::string type);

    const std::vector<FieldSpec>& fields() const { return fields_; }
    std::size_t itemsize() const { return itemsize_; }
    const FieldSpec* find(std::string_view name) const;
    const FieldSpec& at(std::string_view name) const;  // KeyError naming the field
    std::vector<std::string> names() const;
    std::string to_string() const;  // [('datetime', '<u8'), ('open', '<f8'), ...]
    bool operator==(const RecordLayout& other) const;

private:
    std::vector<FieldSpec> fields_;
    std::size_t itemsize_ = 0;
};

class Bars {
public:
    Bars() = default;

    // Shares the vector (no copy). The layout must describe T and outlive the view.
    template <class T>
    static Bars of(std::shared_ptr<const std::vector<T>> records, const RecordLayout& layout) {
        Bars b;
        b.data_ = reinterpret_cast<const std::byte*>(records->data());
        b.size_ = records->size();
        b.layout_ = &layout;
        b.owner_ = std::move(records);
        return b;
    }
    // Owns a raw byte buffer laid out by `layout` (minute bars read from files).
    static Bars of_bytes(std::shared_ptr<const std::vector<std::byte>> bytes,
                         const RecordLayout& layout);

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const RecordLayout* layout() const { return layout_; }
    // The storage shared by every view of the same array: equal for the same cached result.
    const void* identity() const { return owner_.get(); }
    const std::byte* record(std::size_t i) const { return data_ + i * layout_->itemsize(); }

    // The first field is the bar stamp (YYYYMMDDHHMMSS).
    std::int64_t datetime(std::size_t i) const;
    double get(std::size_t i, const FieldSpec& field) const;
    double get(std::size_t i, std::string_view field) const { return get(i, layout_->at(field)); }

    // Index of the bar stamped exactly `stamp`, or npos. Binary search: stamps ascend.
    std::size_t find(std::int64_t stamp) const;
    // Index of the last bar stamped at or before `stamp`, or npos.
    std::size_t find_at_or_before(std::int64_t stamp) const;
    // First index whose stamp is >= `stamp` (size() when none).
    std::size_t lower_bound(std::int64_t stamp) const;
    // The records [begin, end) as a view sharing this one's storage.
    Bars slice(std::size_t begin, std::size_t end) const {
        Bars b = *this;
        b.data_ = data_ ? record(begin) : nullptr;
        b.size_ = end > begin ? end - begin : 0;
        return b;
    }

    template <class T>
    std::span<const T> as() const {
        return {reinterpret_cast<const T*>(data_), size_};
    }

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

private:
    std::shared_ptr<const void> owner_;
    const std::byte* data_ = nullptr;
    std::size_t size_ = 0;
    const RecordLayout* layout_ = nullptr;
};

}  // namespace korvex
