// The token scanner's vector paths against its scalar reference.
#include <doctest/doctest.h>

#include <random>
#include <string>

#include "pcd/token_scan.h"

namespace {

// Text of values and separators of every kind, bytes above 127 included.
std::string random_text(std::mt19937& rng, std::size_t size) {
    static const std::string separators = std::string(" \t\r\n\v\f\0\x1f ", 9);
    std::string text;
    std::uniform_int_distribution<int> kind(0, 9), byte(33, 255), run(1, 40);
    while (text.size() < size) {
        const int n = run(rng);
        const bool value = kind(rng) < 6;
        for (int i = 0; i < n; ++i) {
            text += value ? static_cast<char>(byte(rng)) : separators[static_cast<std::size_t>(kind(rng)) % 9];
        }
    }
    text.resize(size);
    return text;
}

}  // namespace

TEST_CASE("count_tokens equals the scalar count at every start, length and alignment") {
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        const std::string text = " " + random_text(rng, static_cast<std::size_t>(rng() % 5000));
        // Blocks start after a separator (or at the text's start), as the reader's do.
        std::size_t from = static_cast<std::size_t>(rng()) % text.size();
        while (from > 0 && static_cast<unsigned char>(text[from - 1]) > 32) --from;
        const std::size_t to = from + static_cast<std::size_t>(rng()) % (text.size() - from + 1);
        const char* p = text.data();
        CHECK(vantrel::count_tokens(p + from, p + to) == vantrel::count_tokens_scalar(p + from, p + to));
    }
}

TEST_CASE("count_tokens on long runs crosses its 255-block sums") {
    const std::string values(100000, 'x');
    CHECK(vantrel::count_tokens(values.data(), values.data() + values.size()) == 1);
    std::string alternating;
    for (int i = 0; i < 100000; ++i) alternating += i % 2 ? ' ' : '7';
    CHECK(vantrel::count_tokens(alternating.data(), alternating.data() + alternating.size()) == 50000);
}

TEST_CASE("find_token finds the n-th value's first byte and its end") {
    const std::string text = "  12 -3.5\n\n7e3\t x";
    const char* p = text.data();
    const char* end = p + text.size();
    CHECK(vantrel::find_token(p, end, 0, false) - p == 2);
    CHECK(vantrel::find_token(p, end, 1, false) - p == 5);
    CHECK(vantrel::find_token(p, end, 1, true) - p == 9);
    CHECK(vantrel::find_token(p, end, 3, false) - p == 16);
    CHECK(vantrel::after_last_separator(p, end) - p == 16);
    CHECK(vantrel::after_last_separator(p + 16, end) == nullptr);
}

TEST_CASE("count_line_feeds counts every line feed, past its 255-byte blocks") {
    std::mt19937 rng(3);
    const std::string text = random_text(rng, 70000);
    std::int64_t expected = 0;
    for (const char c : text) expected += c == '\n';
    CHECK(vantrel::count_line_feeds(text.data(), text.size()) == expected);
}
