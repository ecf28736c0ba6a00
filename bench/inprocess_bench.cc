// In-process pieces of a request: URL parts, the query-name scan, the query export, and the
// here-document preprocessor.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "runner/cgi_export.h"
#include "runner/heredoc.h"
#include "runner/query_names.h"
#include "runner/run_state.h"
#include "runtime/runtime.h"
#include "runtime/strings/url_part.h"

namespace {

// "p0=value0&p1=value1&..." with `count` parameters.
std::string query_of(int count) {
  std::string query;
  for (int i = 0; i < count; ++i) {
    if (i > 0) query += '&';
    query += "param" + std::to_string(i) + "=value" + std::to_string(i);
  }
  return query;
}

std::string uri_of(int count) { return "/cgi-bin/hello?" + query_of(count); }

void BM_UrlPart_EachParameter(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const std::string uri = uri_of(count);
  for (auto _ : state) {
    for (int i = 0; i < count; ++i) {
      benchmark::DoNotOptimize(sr::url_part(uri, "param" + std::to_string(i)));
    }
  }
}
BENCHMARK(BM_UrlPart_EachParameter)->Arg(1)->Arg(10)->Arg(100);

void BM_UrlQuery_EachParameter(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const std::string uri = uri_of(count);
  for (auto _ : state) {
    const sr::UrlQuery query(uri);
    for (int i = 0; i < count; ++i) {
      benchmark::DoNotOptimize(query.value("param" + std::to_string(i)));
    }
  }
}
BENCHMARK(BM_UrlQuery_EachParameter)->Arg(1)->Arg(10)->Arg(100);

void BM_QueryNames(benchmark::State& state) {
  const std::string subject = "&" + query_of(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(sr::query_parameter_names(subject));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(subject.size()));
}
BENCHMARK(BM_QueryNames)->Arg(1)->Arg(100);

// The hostile query that costs a backtracking pattern minutes: 128 KiB of "&".
void BM_QueryNames_Ampersands128K(benchmark::State& state) {
  const std::string subject(128 * 1024 + 1, '&');
  for (auto _ : state) benchmark::DoNotOptimize(sr::query_parameter_names(subject));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(subject.size()));
}
BENCHMARK(BM_QueryNames_Ampersands128K)->Unit(benchmark::kMicrosecond);

void BM_QueryVariables(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const std::string query = query_of(count);
  const std::string uri = uri_of(count);
  for (auto _ : state) benchmark::DoNotOptimize(sr::query_variables(query, uri));
}
BENCHMARK(BM_QueryVariables)->Arg(1)->Arg(100);

// A parse-mode script of `lines` lines: mostly plain statements, with a here-document block
// of nine lines in every hundred.
std::string heredoc_script(int lines) {
  std::string text = "#!/usr/local/lib/scriptrunner/scriptrunner -w -p\n";
  int written = 1;
  while (written < lines) {
    if (written % 100 == 50 && written + 10 < lines) {
      text += "page$ = \"<<here\n";
      for (int i = 0; i < 8; ++i) text += "<p>line " + std::to_string(i) + " of the block</p>\n";
      text += "<<\"\n";
      written += 10;
    } else {
      text += "x = x + " + std::to_string(written) + " ; plain line\n";
      written += 1;
    }
  }
  return text;
}

void BM_PreprocessScript_10000Lines(benchmark::State& state) {
  const std::string folder = "/tmp/sr-bench-heredoc-" + std::to_string(getpid()) + "/";
  std::filesystem::create_directories(folder);
  sr::RunState run;
  run.script_path = folder + "page.zr";
  run.source_path = folder + "page.zr.out";
  std::ofstream(run.script_path) << heredoc_script(10000);
  for (auto _ : state) sr::preprocess_script(run);
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_PreprocessScript_10000Lines)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  sr::init_runtime();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  sr::shutdown_runtime();
  return 0;
}
