// Micro-benchmarks of INI loading and wide-to-UTF-8 conversion, with iconv
// converting the same text as the anchor for the latter. The INI files come
// from the directory named by NORVANE_BENCH_INI_DIR (bench/bench.py writes
// them, and times Python's configparser on the same files).

#include <iconv.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "base/utf_string_conversions.h"
#include "benchmark/benchmark.h"
#include "ini/ini_document.h"

namespace {

std::string IniPath(const char* name) {
  const char* dir = getenv("NORVANE_BENCH_INI_DIR");
  return std::string(dir ? dir : ".") + "/" + name;
}

void BM_IniLoad(benchmark::State& state, const char* name) {
  const std::string path = IniPath(name);
  {
    IniDocument probe;
    if (!probe.Load(path, false)) {
      state.SkipWithError(("cannot load " + path).c_str());
      return;
    }
  }
  for (auto _ : state) {
    IniDocument document;
    document.Load(path, false);
    benchmark::DoNotOptimize(document.sections().size());
  }
}
BENCHMARK_CAPTURE(BM_IniLoad, 1KiB, "ini_1k.ini")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_IniLoad, 1MiB, "ini_1m.ini")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_IniLoad, 10MiB, "ini_10m.ini")
    ->Unit(benchmark::kMicrosecond);

// |count| characters of text: English words, or words from several scripts
// (Latin with accents, Greek, Cyrillic, CJK, and characters beyond the BMP).
std::wstring MakeText(bool ascii, size_t count) {
  static const wchar_t* const kAsciiWords[] = {
      L"update ", L"browser ", L"version ", L"package ", L"download ",
      L"the ",    L"server ",  L"2.0.1 ",   L"[main] ",  L"key=value\n"};
  static const wchar_t* const kOtherWords[] = {
      L"Größe ",      L"déjà ",
      L"σύνδεση ",    L"обновление ",
      L"更新 ",       L"ダウンロード ",
      L"\U0001F600 ", L"naïve ",
      L"日本語 ",     L"\U00010348\U0001F680 "};
  std::wstring text;
  for (size_t i = 0; text.size() < count; ++i) {
    text += ascii ? kAsciiWords[i % 10] : kOtherWords[i % 10];
  }
  text.resize(count);
  return text;
}

void BM_WideToUtf8(benchmark::State& state, bool ascii) {
  const std::wstring text =
      MakeText(ascii, static_cast<size_t>(state.range(0)));
  std::string output;
  for (auto _ : state) {
    base::WideToUtf8(text.data(), static_cast<int>(text.size()), &output);
    benchmark::DoNotOptimize(output.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK_CAPTURE(BM_WideToUtf8, ascii, true)->Arg(32)->Arg(65536);
BENCHMARK_CAPTURE(BM_WideToUtf8, non_ascii, false)->Arg(32)->Arg(65536);

// The same conversion through iconv(3), into a buffer made once.
void BM_Iconv(benchmark::State& state, bool ascii) {
  std::wstring text = MakeText(ascii, static_cast<size_t>(state.range(0)));
  iconv_t converter = iconv_open("UTF-8", "WCHAR_T");
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    state.SkipWithError("iconv_open failed");
    return;
  }
  std::vector<char> output(4 * text.size());
  for (auto _ : state) {
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
    char* in = reinterpret_cast<char*>(&text[0]);
    size_t in_left = text.size() * sizeof(wchar_t);
    char* out = output.data();
    size_t out_left = output.size();
    if (iconv(converter, &in, &in_left, &out, &out_left) ==
        static_cast<size_t>(-1)) {
      state.SkipWithError("iconv failed");
      break;
    }
    benchmark::DoNotOptimize(output.data());
  }
  iconv_close(converter);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK_CAPTURE(BM_Iconv, ascii, true)->Arg(32)->Arg(65536);
BENCHMARK_CAPTURE(BM_Iconv, non_ascii, false)->Arg(32)->Arg(65536);

}  // namespace

BENCHMARK_MAIN();
