// A single-pass sequence whose producer starts only when the first element is asked for.
#pragma once

#include <functional>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

namespace korvex {

template <class T>
class LazySequence {
public:
    using Next = std::function<std::optional<T>()>;  // nullopt ends the sequence
    using Start = std::function<Next()>;

    LazySequence() = default;
    explicit LazySequence(Start start) : start_(std::move(start)) {}

    class iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        using pointer = const T*;
        using reference = const T&;

        iterator() = default;
        explicit iterator(LazySequence* seq) : seq_(seq) { advance(); }
        reference operator*() const { return *current_; }
        pointer operator->() const { return &*current_; }
        iterator& operator++() {
            advance();
            return *this;
        }
        void operator++(int) { advance(); }
        bool operator==(const iterator& other) const { return done() == other.done(); }

    private:
        bool done() const { return !current_.has_value(); }
        void advance() {
            if (!seq_->next_)
                seq_->next_ =
                    seq_->start_ ? seq_->start_() : Next([] { return std::optional<T>{}; });
            current_ = seq_->next_();
        }
        LazySequence* seq_ = nullptr;
        std::optional<T> current_;
    };

    iterator begin() { return iterator(this); }
    iterator end() { return iterator(); }

    // Drains the sequence into a vector (starting it if it has not started).
    std::vector<T> to_vector() {
        std::vector<T> out;
        for (auto& v : *this) out.push_back(v);
        return out;
    }
    bool started() const { return static_cast<bool>(next_); }

private:
    Start start_;
    Next next_;
};

}  // namespace korvex
