// Encoders of the mail road: the attachment's base64 lines and the DATA transparency filter.
#include "smailer/base64helper.h"
#include "smailer/datafilter.h"

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> randomBytes(std::size_t size)
{
    std::vector<unsigned char> bytes(size);
    std::mt19937 generator(42);
    for (auto& b : bytes)
        b = static_cast<unsigned char>(generator());
    return bytes;
}

// Runs the transparency filter over text once per iteration.
void filterRepeatedly(benchmark::State& state, const std::string& text)
{
    std::string wire;
    wire.reserve(text.size() * 2);
    for (auto _ : state) {
        wire.clear();
        SMailer::DataFilter filter;
        filter.feed(text.data(), text.size(), wire);
        benchmark::DoNotOptimize(wire.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

// One piece as the attachment encoder reads it: 57 * 4096 bytes.
void Base64Lines(benchmark::State& state)
{
    const auto input = randomBytes(57 * 4096 * 4);
    std::string out;
    out.reserve(input.size() / 57 * 77);
    for (auto _ : state) {
        out.clear();
        SMailer::Base64Helper::encodeLines(input.data(), input.size(), out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(input.size()));
}
BENCHMARK(Base64Lines);

// The filter over encoded attachment text (76-character lines ended by LF).
void TransparencyOverBase64(benchmark::State& state)
{
    const auto raw = randomBytes(57 * 4096 * 4);
    std::string text;
    SMailer::Base64Helper::encodeLines(raw.data(), raw.size(), text);
    filterRepeatedly(state, text);
}
BENCHMARK(TransparencyOverBase64);

// The filter over typed text with short lines, dots and CRLF.
void TransparencyOverText(benchmark::State& state)
{
    std::string text;
    while (text.size() < 1 << 20)
        text += "A line the user typed.\r\n.\r\nshort\r\n";
    filterRepeatedly(state, text);
}
BENCHMARK(TransparencyOverText);

} // namespace

BENCHMARK_MAIN();
