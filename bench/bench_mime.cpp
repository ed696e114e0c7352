// Message reading and rendering side by side with GMime 3 and Python's email
// package, on the same inputs:
//
//   Large/...    a 20 MiB multipart/mixed message, half of its parts
//                quoted-printable text, half base64 binary;
//   Corpus/...   2,000 small messages (plain text, alternatives, attachments,
//                nested multiparts), all read (or all rendered) per iteration.
//
// Like with like: our reader decodes every leaf while it reads, so "Parse"
// stands against GMime's parser followed by decoding every leaf into memory,
// and against Python's message_from_bytes followed by get_payload(decode=True)
// on every leaf. "Render" writes the whole tree into memory (ours re-encodes
// the decoded content; GMime and Python write what they kept). Each reading
// includes making the in-memory stream from the bytes.
//
// Counters: bytes per second; for our large parse, peak_ratio is the input
// plus the most our reader holds at once, over the input size (counted by the
// replacement operator new below), and render_peak_ratio the same for
// rendering into a stream that discards what it is given; for our corpus
// parse, held_ratio is what the loaded corpus holds over its size.
//
// Targets: ours at least GMime's throughput, at least ten times Python's; a
// peak ratio of at most 2.5. bench/mime_ratios.py turns the JSON output into
// the ratios.

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "engine/mime/message_entity.h"
#include "engine/mime/mime_reader.h"
#include "engine/mime/mime_writer.h"
#include "engine/mime/transfer_codec.h"
#include "engine/streams/string_stream.h"

#ifdef VESK_HAVE_GMIME
#include <gmime/gmime.h>
#endif

// Counting allocator: live and peak bytes of everything allocated through
// operator new in this program.
namespace {
std::atomic<size_t> g_live{0};
std::atomic<size_t> g_peak{0};

void* CountedAlloc(size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  const size_t live = g_live.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
  size_t peak = g_peak.load();
  while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
  }
  return p;
}

void CountedFree(void* p) {
  if (!p) return;
  g_live.fetch_sub(malloc_usable_size(p));
  std::free(p);
}
}  // namespace

void* operator new(size_t n) { return CountedAlloc(n); }
void* operator new[](size_t n) { return CountedAlloc(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  try {
    return CountedAlloc(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t n, const std::nothrow_t& tag) noexcept { return operator new(n, tag); }
void operator delete(void* p) noexcept { CountedFree(p); }
void operator delete[](void* p) noexcept { CountedFree(p); }
void operator delete(void* p, size_t) noexcept { CountedFree(p); }
void operator delete[](void* p, size_t) noexcept { CountedFree(p); }

namespace {

using vesk::MakeRef;
using vesk::MessageEntity;
using vesk::Ref;

constexpr size_t kLargeBytes = 20u << 20;
constexpr int kCorpusMessages = 2000;

std::string Text(std::mt19937& rng, size_t bytes) {
  static const char* const kWords[] = {"the", "message", "report", "quarterly", "na\xEFve", "caf\xE9",
                                       "numbers", "=", "and", "figures", "section", "draft"};
  std::string text;
  text.reserve(bytes + 100);
  size_t column = 0;
  while (text.size() < bytes) {
    const char* word = kWords[rng() % 12];
    text += word;
    column += std::strlen(word) + 1;
    if (column > 66) {
      text += '\n';
      column = 0;
    } else {
      text += ' ';
    }
  }
  text += '\n';
  return text;
}

std::string Binary(std::mt19937& rng, size_t bytes) {
  std::string data(bytes, '\0');
  for (char& c : data) c = static_cast<char>(rng());
  return data;
}

std::string QuotedPrintable(const std::string& data) {
  std::string out;
  vesk::EncodeQuotedPrintable(reinterpret_cast<const uint8_t*>(data.data()), data.size(), out);
  return out;
}

std::string Base64(const std::string& data) {
  std::string out;
  vesk::EncodeBase64(reinterpret_cast<const uint8_t*>(data.data()), data.size(), out);
  return out;
}

std::string Headers(std::mt19937& rng, const std::string& content_type) {
  return "Return-Path: <sender@example.org>\r\nReceived: from mx.example.org by mail.example.net; Sat, 5 Dec 2026 "
         "10:00:00 +0000\r\nFrom: \"Sender\" <sender@example.org>\r\nTo: rcpt@example.net\r\nSubject: message " +
         std::to_string(rng() % 100000) + "\r\nDate: Sat, 5 Dec 2026 10:00:00 +0000\r\nMIME-Version: 1.0\r\n"
         "Content-Type: " + content_type + "\r\n";
}

std::string TextPart(std::mt19937& rng, size_t bytes, const char* subtype) {
  return std::string("Content-Type: text/") + subtype + "; charset=\"iso-8859-1\"\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n\r\n" + QuotedPrintable(Text(rng, bytes));
}

std::string FilePart(std::mt19937& rng, size_t bytes, int n) {
  const std::string name = "file" + std::to_string(n) + ".bin";
  return "Content-Type: application/octet-stream; name=\"" + name + "\"\r\nContent-Transfer-Encoding: base64\r\n"
         "Content-Disposition: attachment; filename=\"" + name + "\"\r\n\r\n" + Base64(Binary(rng, bytes));
}

const std::string& LargeMessage() {
  static const std::string message = [] {
    std::mt19937 rng(20);
    std::string text = Headers(rng, "multipart/mixed; boundary=\"=_large_boundary\"") + "\r\n";
    text.reserve(kLargeBytes + (1u << 20));
    text += "This is a multi-part message in MIME format.\r\n";
    for (int n = 0; text.size() < kLargeBytes - (1u << 20); ++n) {
      text += "\r\n--=_large_boundary\r\n";
      text += n % 2 == 0 ? TextPart(rng, 700 * 1024, "plain") : FilePart(rng, 1300 * 1024, n);
    }
    text += "\r\n--=_large_boundary--\r\n";
    return text;
  }();
  return message;
}

const std::vector<std::string>& Corpus() {
  static const std::vector<std::string> corpus = [] {
    std::vector<std::string> messages;
    std::mt19937 rng(2000);
    for (int i = 0; i < kCorpusMessages; ++i) {
      const size_t size = 500 + rng() % 4000;
      switch (i % 4) {
        case 0:
          messages.push_back(Headers(rng, "text/plain; charset=us-ascii") + "\r\n" + Text(rng, size));
          break;
        case 1:
          messages.push_back(Headers(rng, "multipart/alternative; boundary=\"alt\"") + "\r\n--alt\r\n" +
                             TextPart(rng, size, "plain") + "\r\n--alt\r\n" + TextPart(rng, size, "html") +
                             "\r\n--alt--\r\n");
          break;
        case 2:
          messages.push_back(Headers(rng, "multipart/mixed; boundary=\"mix\"") + "\r\npreamble\r\n--mix\r\n" +
                             TextPart(rng, size, "plain") + "\r\n--mix\r\n" + FilePart(rng, size, i) +
                             "\r\n--mix--\r\n");
          break;
        default:
          messages.push_back(Headers(rng, "multipart/mixed; boundary=\"outer\"") + "\r\n--outer\r\n"
                             "Content-Type: multipart/alternative; boundary=\"inner\"\r\n\r\n--inner\r\n" +
                             TextPart(rng, size, "plain") + "\r\n--inner\r\n" + TextPart(rng, size, "html") +
                             "\r\n--inner--\r\n\r\n--outer\r\n" + FilePart(rng, size / 2, i) + "\r\n--outer--\r\n");
      }
    }
    return messages;
  }();
  return corpus;
}

size_t CorpusBytes() {
  size_t total = 0;
  for (const std::string& message : Corpus()) total += message.size();
  return total;
}

// A stream that only counts what it is given.
class DiscardingStream final : public vesk::Stream {
 public:
  bool ReadChar(char&) override { return false; }
  bool Write(const char*, size_t length) override {
    written += length;
    return true;
  }
  size_t written = 0;
};

Ref<MessageEntity> Parse(const std::string& text) {
  Ref<MessageEntity> message = MakeRef<MessageEntity>();
  vesk::StringStream stream(text);
  vesk::ReadMessage(stream, *message);
  return message;
}

std::string Render(MessageEntity& message) {
  vesk::StringStream out;
  vesk::WriteMessage(out, message);
  return out.TakeText();
}

void BM_Vesk_Large_Parse(benchmark::State& state) {
  const std::string& input = LargeMessage();
  for (auto _ : state) benchmark::DoNotOptimize(Parse(input));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
  // Peak: the input (handed to the stream, as a caller that has the text in
  // a string of its own does) and the most the reading holds at once.
  std::string owned = input;
  const size_t before = g_live.load() - malloc_usable_size(owned.data());
  g_peak.store(g_live.load());
  Ref<MessageEntity> message = MakeRef<MessageEntity>();
  {
    vesk::StringStream stream(std::move(owned));
    vesk::ReadMessage(stream, *message);
  }
  state.counters["peak_ratio"] = static_cast<double>(g_peak.load() - before) / static_cast<double>(input.size());
  // Rendering: the tree and the most the writing holds at once.
  g_peak.store(g_live.load());
  DiscardingStream sink;
  vesk::WriteMessage(sink, *message);
  state.counters["render_peak_ratio"] =
      static_cast<double>(g_peak.load() - before) / static_cast<double>(input.size());
}

void BM_Vesk_Large_Render(benchmark::State& state) {
  const Ref<MessageEntity> message = Parse(LargeMessage());
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = Render(*message);
    bytes += text.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_Vesk_Corpus_Parse(benchmark::State& state) {
  for (auto _ : state) {
    for (const std::string& text : Corpus()) benchmark::DoNotOptimize(Parse(text));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * CorpusBytes()));
  // What the loaded corpus holds, over the size of its text.
  const size_t before = g_live.load();
  std::vector<Ref<MessageEntity>> messages;
  messages.reserve(Corpus().size());
  for (const std::string& text : Corpus()) messages.push_back(Parse(text));
  state.counters["held_ratio"] = static_cast<double>(g_live.load() - before) / static_cast<double>(CorpusBytes());
}

void BM_Vesk_Corpus_Render(benchmark::State& state) {
  std::vector<Ref<MessageEntity>> messages;
  for (const std::string& text : Corpus()) messages.push_back(Parse(text));
  size_t bytes = 0;
  for (auto _ : state) {
    for (const Ref<MessageEntity>& message : messages) bytes += Render(*message).size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

BENCHMARK(BM_Vesk_Large_Parse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Vesk_Large_Render)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Vesk_Corpus_Parse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Vesk_Corpus_Render)->Unit(benchmark::kMillisecond);

#ifdef VESK_HAVE_GMIME
void DecodeLeaf(GMimeObject*, GMimeObject* part, gpointer) {
  if (!GMIME_IS_PART(part)) return;
  GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(part));
  if (!content) return;
  GMimeStream* decoded = g_mime_stream_mem_new();
  g_mime_data_wrapper_write_to_stream(content, decoded);
  g_object_unref(decoded);
}

GMimeMessage* GmimeParse(const std::string& text) {
  static const bool initialised = (g_mime_init(), true);
  (void)initialised;
  GMimeStream* stream = g_mime_stream_mem_new_with_buffer(text.data(), text.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
  g_object_unref(parser);
  g_object_unref(stream);
  if (message) g_mime_message_foreach(message, DecodeLeaf, nullptr);
  return message;
}

size_t GmimeRender(GMimeMessage* message) {
  GMimeStream* out = g_mime_stream_mem_new();
  g_mime_object_write_to_stream(GMIME_OBJECT(message), nullptr, out);
  const size_t size = GMIME_STREAM_MEM(out)->buffer->len;
  g_object_unref(out);
  return size;
}

void BM_GMime_Large_Parse(benchmark::State& state) {
  const std::string& input = LargeMessage();
  for (auto _ : state) {
    GMimeMessage* message = GmimeParse(input);
    benchmark::DoNotOptimize(message);
    g_object_unref(message);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

void BM_GMime_Large_Render(benchmark::State& state) {
  GMimeMessage* message = GmimeParse(LargeMessage());
  size_t bytes = 0;
  for (auto _ : state) bytes += GmimeRender(message);
  g_object_unref(message);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_GMime_Corpus_Parse(benchmark::State& state) {
  for (auto _ : state) {
    for (const std::string& text : Corpus()) g_object_unref(GmimeParse(text));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * CorpusBytes()));
}

void BM_GMime_Corpus_Render(benchmark::State& state) {
  std::vector<GMimeMessage*> messages;
  for (const std::string& text : Corpus()) messages.push_back(GmimeParse(text));
  size_t bytes = 0;
  for (auto _ : state) {
    for (GMimeMessage* message : messages) bytes += GmimeRender(message);
  }
  for (GMimeMessage* message : messages) g_object_unref(message);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

BENCHMARK(BM_GMime_Large_Parse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GMime_Large_Render)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GMime_Corpus_Parse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GMime_Corpus_Render)->Unit(benchmark::kMillisecond);
#endif

// Python's email package, timed by the script itself (best of three) on the
// same bytes written to a temporary folder.
struct PythonTimes {
  double parse_seconds = 0;
  double render_seconds = 0;
  bool ok = false;
};

PythonTimes RunPython(const char* mode) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("vesk_bench_mime_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  if (std::string(mode) == "large") {
    std::ofstream(dir / "large.eml", std::ios::binary) << LargeMessage();
  } else {
    for (size_t i = 0; i < Corpus().size(); ++i) {
      std::ofstream(dir / ("m" + std::to_string(i) + ".eml"), std::ios::binary) << Corpus()[i];
    }
  }
  const std::string command =
      "python3 " VESK_BENCH_DIR "/bench_mime_email.py '" + dir.string() + "'";
  PythonTimes times;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    times.ok = std::fscanf(pipe, "%lf %lf", &times.parse_seconds, &times.render_seconds) == 2;
    times.ok = pclose(pipe) == 0 && times.ok;
  }
  fs::remove_all(dir);
  return times;
}

void BM_Python(benchmark::State& state, const char* mode, bool parse) {
  const PythonTimes times = RunPython(mode);
  if (!times.ok) {
    state.SkipWithError("python3 bench_mime_email.py failed");
    return;
  }
  for (auto _ : state) state.SetIterationTime(parse ? times.parse_seconds : times.render_seconds);
  const size_t bytes = std::string(mode) == "large" ? LargeMessage().size() : CorpusBytes();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

BENCHMARK_CAPTURE(BM_Python, Large_Parse, "large", true)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Python, Large_Render, "large", false)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Python, Corpus_Parse, "corpus", true)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Python, Corpus_Render, "corpus", false)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
