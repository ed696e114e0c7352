// Throughput of the transfer codecs on 10 MiB inputs, side by side with
// GMime 3's encoders on the same input, and the cost of reading header blocks
// of 1,000 to 10,000 fields.
//
// Each codec benchmark is named "<codec>/<direction>/<who>"; "vesk" is the
// byte-run form (the base64 encoder writing into storage allocated once, as
// GMime's are measured, the quoted-printable and plain encoders appending to a
// std::string; decoders into a ByteBuffer that is reused), "vesk_string" the
// base64 encoder appending to a std::string, "vesk_portable" the byte-run form with
// the vector paths switched off, "vesk_stream" the codec through the Stream
// interface (StringStream), "gmime" the peer (its one-shot encoders, and its
// unix2dos / dos2unix filters for the plain codec). Throughput counts input
// bytes per second of CPU time. Quoted-printable runs on two inputs: "qp" text
// dense with escapes, "qp_ascii" mostly ASCII text. After the run a table
// gives vesk / gmime throughput for each row.
//
// Run: cmake --preset bench && cmake --build --preset bench -j2 &&
//      build/bench/bench/bench_codecs --benchmark_min_time=1

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/mime/field_list.h"
#include "engine/mime/transfer_codec.h"
#include "engine/streams/byte_buffer.h"
#include "engine/streams/string_stream.h"

#ifdef VESK_HAVE_GMIME
#include <gmime/gmime.h>
#endif

namespace {

using vesk::ByteBuffer;
using vesk::StringStream;

constexpr size_t kInputSize = 10 * 1024 * 1024;

const std::string& BinaryContent() {
  static const std::string content = [] {
    std::mt19937_64 generator(42);
    std::string bytes(kInputSize, '\0');
    for (size_t i = 0; i + 8 <= bytes.size(); i += 8) {
      const uint64_t word = generator();
      std::memcpy(&bytes[i], &word, 8);
    }
    return bytes;
  }();
  return content;
}

// Text dense with escapes (a Latin-1 letter or an "=" in about a third of the
// words, some trailing blanks): the hard case for quoted-printable. Lines of
// 40 to 90 characters, LF line ends.
const std::string& TextContent() {
  static const std::string content = [] {
    std::mt19937 generator(7);
    const char kWords[][10] = {"the", "mail", "caf\xE9", "message", "=", "r\xE9sum\xE9", "of", "a", "header",
                               "line", "From", "body", "na\xEFve", "text"};
    std::string text;
    text.reserve(kInputSize + 100);
    size_t line = 0;
    size_t width = 60;
    while (text.size() < kInputSize) {
      const char* word = kWords[generator() % std::size(kWords)];
      text += word;
      line += std::strlen(word);
      if (line >= width) {
        if (generator() % 10 == 0) text += ' ';
        text += '\n';
        line = 0;
        width = 40 + generator() % 50;
      } else {
        text += ' ';
        ++line;
      }
    }
    text.resize(kInputSize);
    text.back() = '\n';
    return text;
  }();
  return content;
}

// Mostly ASCII text, as most quoted-printable mail is: an escape (a Latin-1
// letter or an "=") about every eighty characters, lines of 40 to 90.
const std::string& AsciiTextContent() {
  static const std::string content = [] {
    std::mt19937 generator(11);
    const char kWords[][10] = {"the", "mail", "message", "of", "a", "header", "line", "body", "text", "server",
                               "client", "and", "to", "is", "for", "with", "r\xE9sum\xE9", "=", "From"};
    std::string text;
    text.reserve(kInputSize + 100);
    size_t line = 0;
    size_t width = 60;
    while (text.size() < kInputSize) {
      // The last two words are rarer than the others.
      size_t pick = generator() % (std::size(kWords) * 6);
      const char* word = pick < (std::size(kWords) - 3) * 6 ? kWords[pick % (std::size(kWords) - 3)]
                                                          : kWords[std::size(kWords) - 3 + pick % 3];
      text += word;
      line += std::strlen(word);
      if (line >= width) {
        text += '\n';
        line = 0;
        width = 40 + generator() % 50;
      } else {
        text += ' ';
        ++line;
      }
    }
    text.resize(kInputSize);
    text.back() = '\n';
    return text;
  }();
  return content;
}

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

const std::string& Base64Text() {
  static const std::string text = [] {
    std::string out;
    vesk::EncodeBase64(Bytes(BinaryContent()), BinaryContent().size(), out);
    return out;
  }();
  return text;
}

const std::string& QuotedPrintableText() {
  static const std::string text = [] {
    std::string out;
    vesk::EncodeQuotedPrintable(Bytes(TextContent()), TextContent().size(), out);
    return out;
  }();
  return text;
}

const std::string& AsciiQuotedPrintableText() {
  static const std::string text = [] {
    std::string out;
    vesk::EncodeQuotedPrintable(Bytes(AsciiTextContent()), AsciiTextContent().size(), out);
    return out;
  }();
  return text;
}

const std::string& CrLfText() {
  static const std::string text = [] {
    std::string out;
    vesk::EncodePlain(Bytes(TextContent()), TextContent().size(), out);
    return out;
  }();
  return text;
}

void SetBytes(benchmark::State& state, size_t per_iteration) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * per_iteration));
}

// ---- vesk: byte-run forms ----

template <void (*Encode)(const uint8_t*, size_t, std::string&)>
void VeskEncode(benchmark::State& state, const std::string& input) {
  std::string out;
  for (auto _ : state) {
    out.clear();
    Encode(Bytes(input), input.size(), out);
    benchmark::DoNotOptimize(out.data());
  }
  SetBytes(state, input.size());
}

template <void (*Decode)(std::string_view, ByteBuffer&)>
void VeskDecode(benchmark::State& state, const std::string& input) {
  ByteBuffer out;
  for (auto _ : state) {
    Decode(input, out);
    benchmark::DoNotOptimize(out.data());
  }
  SetBytes(state, input.size());
}

// Encoders into storage allocated once, as the peer's are measured.
template <size_t (*Bound)(size_t), size_t (*Encode)(const uint8_t*, size_t, char*)>
void VeskEncodeInto(benchmark::State& state, const std::string& input) {
  std::vector<char> out(Bound(input.size()));
  for (auto _ : state) {
    const size_t n = Encode(Bytes(input), input.size(), out.data());
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(out.data());
  }
  SetBytes(state, input.size());
}

// Runs a benchmark with the vector paths switched off: what targets without
// them get.
template <class Run>
auto Portable(Run run) {
  return [run](benchmark::State& state) {
    vesk::SetVectorCodecsEnabled(false);
    run(state);
    vesk::SetVectorCodecsEnabled(true);
  };
}

// ---- vesk: through the Stream interface ----

void VeskStreamEncode(benchmark::State& state, vesk::TransferEncoding encoding, const std::string& input) {
  ByteBuffer source;
  source.Assign(input.data(), input.size());
  const auto codec = vesk::MakeTransferCodec(encoding);
  for (auto _ : state) {
    StringStream target;
    codec->Encode(target, source);
    benchmark::DoNotOptimize(target.text().data());
  }
  SetBytes(state, input.size());
}

void VeskStreamDecode(benchmark::State& state, vesk::TransferEncoding encoding, const std::string& input) {
  const auto codec = vesk::MakeTransferCodec(encoding);
  ByteBuffer out;
  for (auto _ : state) {
    state.PauseTiming();
    StringStream source(input);
    state.ResumeTiming();
    codec->Decode(source, out);
    benchmark::DoNotOptimize(out.data());
  }
  SetBytes(state, input.size());
}

#ifdef VESK_HAVE_GMIME
// ---- GMime 3: the one-shot encoders and the line-ending filters ----

using GMimeStep = size_t (*)(const unsigned char*, size_t, unsigned char*, int*, guint32*);

void GMimeCodec(benchmark::State& state, GMimeStep step, size_t out_size, const std::string& input) {
  std::vector<unsigned char> out(out_size);
  for (auto _ : state) {
    int codec_state = 0;
    guint32 save = 0;
    const size_t n = step(Bytes(input), input.size(), out.data(), &codec_state, &save);
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(out.data());
  }
  SetBytes(state, input.size());
}

void GMimeLineFilter(benchmark::State& state, GMimeFilter* (*make)(gboolean), const std::string& input) {
  GMimeFilter* filter = make(FALSE);
  std::string copy = input;
  for (auto _ : state) {
    g_mime_filter_reset(filter);
    char* out = nullptr;
    size_t out_len = 0, out_prespace = 0;
    g_mime_filter_complete(filter, copy.data(), copy.size(), 0, &out, &out_len, &out_prespace);
    benchmark::DoNotOptimize(out);
  }
  g_object_unref(filter);
  SetBytes(state, input.size());
}
#endif

// ---- header blocks ----

void HeaderBlockRead(benchmark::State& state) {
  const int fields = static_cast<int>(state.range(0));
  std::string text;
  for (int i = 0; i < fields; ++i) {
    text += "X-Field-" + std::to_string(i) + ": some value of a header field " + std::to_string(i) + "\r\n";
    if (i % 10 == 0) text += "\tcontinued on a second line\r\n";
  }
  text += "\r\n";
  for (auto _ : state) {
    state.PauseTiming();
    StringStream stream(text);
    const vesk::Ref<vesk::FieldList> list = vesk::MakeRef<vesk::FieldList>();
    state.ResumeTiming();
    list->ReadHeaderBlock(stream);
    benchmark::DoNotOptimize(list->Count());
  }
  state.SetItemsProcessed(state.iterations() * fields);
  state.SetComplexityN(fields);
}

void RegisterAll() {
  using vesk::TransferEncoding;
  const std::string& binary = BinaryContent();
  const std::string& text = TextContent();

  benchmark::RegisterBenchmark("base64/encode/vesk", VeskEncodeInto<vesk::Base64EncodedSize, vesk::EncodeBase64>,
                               binary);
  benchmark::RegisterBenchmark("base64/encode/vesk_string", VeskEncode<vesk::EncodeBase64>, binary);
  benchmark::RegisterBenchmark("base64/encode/vesk_stream", VeskStreamEncode, TransferEncoding::kBase64, binary);
  benchmark::RegisterBenchmark("base64/decode/vesk", VeskDecode<vesk::DecodeBase64>, Base64Text());
  benchmark::RegisterBenchmark("base64/decode/vesk_portable", Portable([](benchmark::State& state) {
                                 VeskDecode<vesk::DecodeBase64>(state, Base64Text());
                               }));
  benchmark::RegisterBenchmark("base64/decode/vesk_stream", VeskStreamDecode, TransferEncoding::kBase64,
                               Base64Text());
  benchmark::RegisterBenchmark("qp/encode/vesk", VeskEncode<vesk::EncodeQuotedPrintable>, text);
  benchmark::RegisterBenchmark("qp/encode/vesk_portable", Portable([](benchmark::State& state) {
                                 VeskEncode<vesk::EncodeQuotedPrintable>(state, TextContent());
                               }));
  benchmark::RegisterBenchmark("qp/encode/vesk_stream", VeskStreamEncode, TransferEncoding::kQuotedPrintable, text);
  benchmark::RegisterBenchmark("qp/decode/vesk", VeskDecode<vesk::DecodeQuotedPrintable>, QuotedPrintableText());
  benchmark::RegisterBenchmark("qp/decode/vesk_portable", Portable([](benchmark::State& state) {
                                 VeskDecode<vesk::DecodeQuotedPrintable>(state, QuotedPrintableText());
                               }));
  benchmark::RegisterBenchmark("qp/decode/vesk_stream", VeskStreamDecode, TransferEncoding::kQuotedPrintable,
                               QuotedPrintableText());
  const std::string& ascii = AsciiTextContent();
  benchmark::RegisterBenchmark("qp_ascii/encode/vesk", VeskEncode<vesk::EncodeQuotedPrintable>, ascii);
  benchmark::RegisterBenchmark("qp_ascii/decode/vesk", VeskDecode<vesk::DecodeQuotedPrintable>,
                               AsciiQuotedPrintableText());
  benchmark::RegisterBenchmark("plain/encode/vesk", VeskEncode<vesk::EncodePlain>, text);
  benchmark::RegisterBenchmark("plain/encode/vesk_stream", VeskStreamEncode, TransferEncoding::kPlain, text);
  benchmark::RegisterBenchmark("plain/decode/vesk", VeskDecode<vesk::DecodePlain>, CrLfText());
  benchmark::RegisterBenchmark("plain/decode/vesk_stream", VeskStreamDecode, TransferEncoding::kPlain, CrLfText());
#ifdef VESK_HAVE_GMIME
  g_mime_init();
  benchmark::RegisterBenchmark("base64/encode/gmime", GMimeCodec, g_mime_encoding_base64_encode_close,
                               GMIME_BASE64_ENCODE_LEN(binary.size()), binary);
  benchmark::RegisterBenchmark("base64/decode/gmime", GMimeCodec, g_mime_encoding_base64_decode_step,
                               Base64Text().size(), Base64Text());
  benchmark::RegisterBenchmark("qp/encode/gmime", GMimeCodec, g_mime_encoding_quoted_encode_close,
                               GMIME_QP_ENCODE_LEN(text.size()) + text.size() * 3, text);
  benchmark::RegisterBenchmark("qp/decode/gmime", GMimeCodec, g_mime_encoding_quoted_decode_step,
                               QuotedPrintableText().size(), QuotedPrintableText());
  benchmark::RegisterBenchmark("qp_ascii/encode/gmime", GMimeCodec, g_mime_encoding_quoted_encode_close,
                               GMIME_QP_ENCODE_LEN(ascii.size()) + ascii.size() * 3, ascii);
  benchmark::RegisterBenchmark("qp_ascii/decode/gmime", GMimeCodec, g_mime_encoding_quoted_decode_step,
                               AsciiQuotedPrintableText().size(), AsciiQuotedPrintableText());
  benchmark::RegisterBenchmark("plain/encode/gmime", GMimeLineFilter, g_mime_filter_unix2dos_new, text);
  benchmark::RegisterBenchmark("plain/decode/gmime", GMimeLineFilter, g_mime_filter_dos2unix_new, CrLfText());
#endif
  benchmark::RegisterBenchmark("header_block/read", HeaderBlockRead)
      ->Arg(1000)
      ->Arg(3000)
      ->Arg(10000)
      ->Complexity(benchmark::oN);
}

// Collects throughput per name and, at the end, prints vesk / gmime ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_None) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const auto found = run.counters.find("bytes_per_second");
      if (found != run.counters.end()) throughput_[run.benchmark_name()] = found->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatios() const {
    std::printf("\n%-16s %10s %10s %10s %10s %8s\n", "codec", "vesk MB/s", "portable", "stream", "gmime MB/s",
                "ratio");
    for (const char* codec : {"base64/encode", "base64/decode", "qp/encode", "qp/decode", "qp_ascii/encode",
                              "qp_ascii/decode", "plain/encode", "plain/decode"}) {
      const double vesk = Get(std::string(codec) + "/vesk");
      const double portable = Get(std::string(codec) + "/vesk_portable");
      const double stream = Get(std::string(codec) + "/vesk_stream");
      const double gmime = Get(std::string(codec) + "/gmime");
      std::printf("%-16s %10.0f %10.0f %10.0f %10.0f %8.2f\n", codec, vesk / 1e6, portable / 1e6, stream / 1e6,
                  gmime / 1e6, gmime > 0 ? vesk / gmime : 0.0);
    }
  }

 private:
  double Get(const std::string& name) const {
    const auto found = throughput_.find(name);
    return found == throughput_.end() ? 0.0 : found->second;
  }
  std::map<std::string, double> throughput_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RegisterAll();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
