// Deterministic random numbers for the sample data. The standard distributions are not
// specified bit for bit across library versions, so the generator carries its own: the same
// seed must give the same bundle wherever it is built.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <string_view>

namespace korvex_generate {

inline std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// FNV-1a: names a random stream, so that adding a bond does not shift every other bond's draws.
inline std::uint64_t stream_key(std::string_view name) {
    std::uint64_t h = 0xCBF29CE484222325ULL;
    for (unsigned char c : name) {
        h ^= c;
        h *= 0x100000001B3ULL;
    }
    return h;
}

// xoshiro256** seeded through splitmix64.
class Rng {
public:
    Rng(std::uint64_t seed, std::uint64_t stream) {
        std::uint64_t s = seed ^ (stream * 0xD1B54A32D192ED03ULL);
        for (auto& word : s_) word = splitmix64(s);
    }
    Rng(std::uint64_t seed, std::string_view stream) : Rng(seed, stream_key(stream)) {}

    std::uint64_t next() {
        const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }

    // [0, 1) with 53 random bits.
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    // [lo, hi], both inclusive.
    int integer(int lo, int hi) {
        const auto span = static_cast<std::uint64_t>(hi - lo) + 1;
        return lo + static_cast<int>(next() % span);
    }
    bool chance(double p) { return uniform() < p; }

    // Box-Muller; the second value of each pair is kept for the next call.
    double normal() {
        if (has_spare_) {
            has_spare_ = false;
            return spare_;
        }
        double u1 = uniform();
        while (u1 <= 0.0) u1 = uniform();
        const double u2 = uniform();
        const double r = std::sqrt(-2.0 * std::log(u1));
        spare_ = r * std::sin(2.0 * std::numbers::pi * u2);
        has_spare_ = true;
        return r * std::cos(2.0 * std::numbers::pi * u2);
    }
    double normal(double mean, double sd) { return mean + sd * normal(); }

private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t s_[4];
    double spare_ = 0.0;
    bool has_spare_ = false;
};

}  // namespace korvex_generate
