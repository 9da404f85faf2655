// The stream decoder against liblzf's own, on streams that liblzf made and on damaged ones.
#include <doctest/doctest.h>

#include <lzf.h>

#include <cstring>
#include <random>
#include <vector>

#include "pcd/lzf_stream.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Data that compresses as point clouds do (runs and repeats), or not at all.
Bytes sample(std::mt19937& rng, std::size_t size, bool random) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) {
        data[i] =
            random ? static_cast<std::uint8_t>(rng()) : static_cast<std::uint8_t>((i / 7) % 5 + (rng() % 13 == 0));
    }
    return data;
}

Bytes compress(const Bytes& data) {
    Bytes out(data.size() + data.size() / 16 + 64);
    out.resize(
        lzf_compress(data.data(), static_cast<unsigned>(data.size()), out.data(), static_cast<unsigned>(out.size())));
    return out;
}

// Decodes through the window (into == false) or straight into memory, reading in pieces of `piece` bytes.
struct Decoded {
    vantrel::LzfOutcome outcome;
    Bytes bytes;
};
Decoded decode(const Bytes& payload, std::uint64_t capacity, bool into, std::size_t piece = 4096,
               std::uint64_t stop = UINT64_MAX) {
    std::size_t at = 0;
    const auto read = [&](std::uint8_t* dst, std::size_t size) {
        const std::size_t n = std::min({size, piece, payload.size() - at});
        std::memcpy(dst, payload.data() + at, n);
        at += n;
        return n;
    };
    Decoded out;
    Bytes memory(into ? capacity + vantrel::lzf_slack : 0);
    const auto sink = [&](const std::uint8_t* data, std::size_t size) {
        if (!into) out.bytes.insert(out.bytes.end(), data, data + size);
    };
    out.outcome =
        vantrel::decode_lzf_stream(payload.size(), capacity, stop, read, sink, into ? memory.data() : nullptr);
    if (into) out.bytes.assign(memory.begin(), memory.begin() + static_cast<std::ptrdiff_t>(out.outcome.decoded));
    return out;
}

}  // namespace

TEST_CASE("a stream liblzf made decodes to its input, through the window and into memory") {
    std::mt19937 rng(11);
    for (const std::size_t size : {1u, 31u, 33u, 8191u, 8193u, 300000u, 1500000u}) {
        for (const bool random : {false, true}) {
            const Bytes data = sample(rng, size, random);
            const Bytes payload = compress(data);
            REQUIRE(!payload.empty());
            for (const bool into : {false, true}) {
                const Decoded got = decode(payload, data.size(), into, 1 + rng() % 70000);
                CHECK(got.outcome.ok);
                CHECK(got.bytes == data);
            }
        }
    }
}

TEST_CASE("back-references that overlap what they copy decode at every distance, short and long") {
    // A period of p bytes repeated: liblzf refers back p bytes for as long as the run goes on.
    std::mt19937 rng(5);
    for (std::size_t period = 1; period <= 40; ++period) {
        for (const std::size_t run : {3u, 9u, 17u, 40u, 300u}) {
            Bytes data;
            for (int piece = 0; piece < 50; ++piece) {
                const Bytes pattern = sample(rng, period, true);
                for (std::size_t i = 0; i < run; ++i) data.push_back(pattern[i % period]);
            }
            for (const bool into : {false, true}) CHECK(decode(compress(data), data.size(), into).bytes == data);
        }
    }
}

TEST_CASE("8-byte values that change in their low bytes decode, among references from further back") {
    // liblzf makes each value a literal of the bytes that changed and a reference of the rest
    // 8 back; a repeat from further back or a long literal comes now and then between them.
    std::mt19937 rng(3);
    for (const unsigned changing : {1u, 3u, 5u, 7u}) {
        Bytes data;
        std::uint64_t value = 0x41da3c5e12345678u;
        while (data.size() < 60000) {
            const auto changed = static_cast<unsigned>(1 + rng() % changing);
            value ^= (rng() | std::uint64_t{rng()} << 32) & ((std::uint64_t{1} << (8 * changed)) - 1);
            for (unsigned b = 0; b < 8; ++b) data.push_back(static_cast<std::uint8_t>(value >> (8 * b)));
            if (rng() % 40 == 0) {
                const std::size_t length = 16 + rng() % 40, from = rng() % (data.size() - length / 2);
                for (std::size_t i = 0; i < length; ++i) data.push_back(data[from + i]);
            }
            if (rng() % 60 == 0) {
                const Bytes noise = sample(rng, 1 + rng() % 40, true);
                data.insert(data.end(), noise.begin(), noise.end());
            }
        }
        for (const bool into : {false, true}) {
            CHECK(decode(compress(data), data.size(), into, 1 + rng() % 70000).bytes == data);
        }
    }
}

TEST_CASE("a damaged stream fails where lzf_decompress fails, and never reads or writes outside") {
    std::mt19937 rng(5);
    const Bytes data = sample(rng, 50000, false);
    const Bytes good = compress(data);
    for (int round = 0; round < 400; ++round) {
        Bytes payload = good;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) payload[rng() % payload.size()] = static_cast<std::uint8_t>(rng());
        if (rng() % 3 == 0) payload.resize(rng() % payload.size());
        const std::uint64_t capacity = data.size() - (rng() % 2 ? 0 : rng() % 100);
        Bytes reference(capacity + 1);
        const unsigned ref = lzf_decompress(payload.data(), static_cast<unsigned>(payload.size()), reference.data(),
                                            static_cast<unsigned>(capacity));
        for (const bool into : {false, true}) {
            const Decoded got = decode(payload, capacity, into);
            CHECK(got.outcome.ok == (ref != 0 || payload.empty()));
            if (ref != 0) CHECK(Bytes(reference.begin(), reference.begin() + ref) == got.bytes);
        }
    }
}

TEST_CASE("a payload shorter than its size is cut, and a stop ends decoding early") {
    std::mt19937 rng(9);
    const Bytes data = sample(rng, 200000, false);
    const Bytes payload = compress(data);
    std::size_t at = 0;
    const Bytes half(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(payload.size() / 2));
    const auto read = [&](std::uint8_t* dst, std::size_t size) {
        const std::size_t n = std::min(size, half.size() - at);
        std::memcpy(dst, half.data() + at, n);
        at += n;
        return n;
    };
    const auto outcome = vantrel::decode_lzf_stream(payload.size(), data.size(), UINT64_MAX, read,
                                                    [](const std::uint8_t*, std::size_t) {});
    CHECK(outcome.cut);
    CHECK(!outcome.ok);
    const Decoded stopped = decode(payload, data.size(), false, 4096, 1000);
    CHECK(stopped.outcome.stopped);
    CHECK(stopped.outcome.decoded < data.size());
    CHECK(Bytes(data.begin(), data.begin() + 1000) == Bytes(stopped.bytes.begin(), stopped.bytes.begin() + 1000));
}

TEST_CASE("a back-reference reaches back to the first byte, never before it") {
    // A literal 'a', then 3 bytes copied from 1 back (valid), or from 2 back (before the start).
    for (const auto& [reach, ok] : {std::pair<std::uint8_t, bool>{0x00, true}, {0x01, false}}) {
        const Bytes payload{0x00, 'a', 0x20, reach};
        Bytes reference(8);
        CHECK((lzf_decompress(payload.data(), 4, reference.data(), 8) != 0) == ok);
        for (const bool into : {false, true}) {
            const Decoded got = decode(payload, 8, into);
            CHECK(got.outcome.ok == ok);
            if (ok) CHECK(got.bytes == Bytes{'a', 'a', 'a', 'a'});
        }
    }
}
