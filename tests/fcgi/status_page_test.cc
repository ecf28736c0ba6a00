// The status page in each of its forms and the slow log's lines, on given counters: every form
// parses as its format says, and a script's path, whatever bytes it holds, neither breaks the
// form nor forges a line.
#include "fcgi/status_page.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>

#include "fcgi/slow_log.h"

namespace sr::fcgi {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::system_clock;

// A quote, a backslash, a newline, a control byte, bytes that are not UTF-8 (a stray one and an
// encoded surrogate) and a character that is.
const std::string kHostile =
    "/srv/a\"b\\c\nd\x01"
    "e\xFF\xED\xA0\x80"
    "\xC3\xA9.cgi";
// What the structured forms make of it: each byte sequence that is not UTF-8 as U+FFFD.
const std::string kReplaced =
    "/srv/a\"b\\c\nd\x01"
    "e"
    "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
    "\xEF\xBF\xBD"
    "\xC3\xA9.cgi";

const system_clock::time_point kStart = system_clock::time_point(seconds(1'765'296'188));

ServerStats sample_stats() {
  ServerStats s;
  s.start_time = kStart;  // 2025-12-09T16:03:08Z
  s.accepted_connections = 101, s.accepted_requests = 102;
  s.ended = {.served = 103, .refused = 104, .failed = 105, .timed_out = 106, .aborted = 107};
  s.active_processes = 108, s.idle_processes = 109, s.waiting_requests = 110;
  s.max_waiting_requests = 111, s.max_children_reached = 112, s.slow_requests = 113;
  s.cache_hits = 114, s.cache_builds = 115;
  return s;
}

const std::vector<RunningRequest> kRunning = {
    {kHostile, 4711, milliseconds(12'345), 5120, RequestState::running},
    {"/srv/b.cgi", 0, milliseconds(20), 0, RequestState::waiting},
    {"/srv/b.cgi", 0, milliseconds(7), 0, RequestState::waiting},
};

std::string render(std::string_view query) {
  return render_status(sample_stats(), kRunning, kStart + seconds(3600), query);
}

std::string body_of(const std::string& response) {
  return response.substr(response.find("\r\n\r\n") + 4);
}

TEST(StatusPage, QueryChoosesTheFormAndFullAddsTheRequests) {
  const struct {
    std::string query;
    std::string content_type;
    bool full;
  } rows[] = {
      {"", "text/plain", false},
      {"full", "text/plain", true},
      {"json", "application/json", false},
      {"json&full", "application/json", true},
      {"full&json", "application/json", true},
      {"full=1&json=", "application/json", true},
      {"openmetrics", "application/openmetrics-text; version=1.0.0; charset=utf-8", false},
      {"openmetrics&json", "application/openmetrics-text; version=1.0.0; charset=utf-8", false},
      {"json&openmetrics&full", "application/json", true},
      {"jsonx&fullx&x=json", "text/plain", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.query);
    const std::string response = render(row.query);
    EXPECT_EQ(response.substr(0, response.find("\r\n\r\n") + 4),
              "Content-Type: " + row.content_type + "\r\nCache-Control: no-store\r\n\r\n");
    EXPECT_EQ(response.find("4711") != std::string::npos, row.full);
  }
}

TEST(StatusPage, TextNamesEveryCounterAndKeepsEachRequestOnOneLine) {
  const std::string body = body_of(render("full"));
  for (const char* line :
       {"\nstart time: 2025-12-09T16:03:08Z\n",
        "\nuptime seconds: 3600\n",
        "\naccepted connections: 101\n",
        "\naccepted requests: 102\n",
        "\nrequests served: 103\n",
        "\nrequests refused: 104\n",
        "\nrequests failed: 105\n",
        "\nrequests timed out: 106\n",
        "\nrequests aborted: 107\n",
        "\nactive processes: 108\n",
        "\nidle processes: 109\n",
        "\nwaiting requests: 110\n",
        "\nmax waiting requests: 111\n",
        "\nmax children reached: 112\n",
        "\nslow requests: 113\n",
        "\ncache hits: 114\n",
        "\ncache builds: 115\n",
        "\nrunning requests: 3\n",
        "\n4711     running   12.345      5120         /srv/a\"b\\c\\x0Ad\\x01e\xFF\xED\xA0\x80"
        "\xC3\xA9.cgi\n",
        "\n-        waiting   0.020       0            /srv/b.cgi\n"}) {
    EXPECT_NE(("\n" + body).find(line), std::string::npos) << line;
  }
  // A clock set back before the start: no uptime rather than a huge one.
  EXPECT_NE(render_status(sample_stats(), {}, kStart - seconds(5), "").find("uptime seconds: 0\n"),
            std::string::npos);
}

// Runs python3 on `input` (in a file of its own) and gives what it printed.
std::string python(const std::string& program, const std::string& input) {
  char path[] = "/tmp/sr-status-XXXXXX";
  const int fd = ::mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::write(fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  ::close(fd);
  std::string output;
  if (FILE* pipe = ::popen(("python3 -c '" + program + "' " + path + " 2>&1").c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      output.append(buffer, n);
    ::pclose(pipe);
  }
  ::unlink(path);
  return output;
}

std::string hex(const std::string& bytes) {
  std::string out;
  char digits[3];
  for (unsigned char c : bytes) out += (std::snprintf(digits, 3, "%02x", c), digits);
  return out;
}

TEST(StatusPage, JsonParsesWithEveryCounterAndTheScriptsPathIntact) {
  const std::string printed = python(
      "import json, sys\n"
      "d = json.load(open(sys.argv[1], encoding=\"utf-8\"))\n"
      "for r in d.pop(\"running_requests\"):\n"
      "  print(r[\"script\"].encode().hex(), r[\"pid\"], r[\"state\"], r[\"elapsed_seconds\"],"
      " r[\"bytes_out\"])\n"
      "print(sorted(d.items()))\n",
      body_of(render("json&full")));
  EXPECT_EQ(printed,
            hex(kReplaced) + " 4711 running 12.345 5120\n" + hex("/srv/b.cgi") +
                " None waiting 0.02 0\n" + hex("/srv/b.cgi") +
                " None waiting 0.007 0\n"
                "[('accepted_connections', 101), ('accepted_requests', 102), "
                "('active_processes', 108), ('cache_builds', 115), ('cache_hits', 114), "
                "('idle_processes', 109), ('max_children_reached', 112), "
                "('max_waiting_requests', 111), ('requests_aborted', 107), "
                "('requests_failed', 105), ('requests_refused', 104), ('requests_served', 103), "
                "('requests_timed_out', 106), ('slow_requests', 113), "
                "('start_time', '2025-12-09T16:03:08Z'), ('start_time_seconds', 1765296188), "
                "('uptime_seconds', 3600), ('waiting_requests', 110)]\n");
}

// Reads `labels` (between the braces) as the format writes them; false when it cannot.
bool parse_labels(std::string_view labels, std::map<std::string, std::string>& parsed) {
  static const std::regex name("[a-zA-Z_][a-zA-Z0-9_]*");
  while (!labels.empty()) {
    const std::size_t eq = labels.find("=\"");
    if (eq == std::string_view::npos ||
        !std::regex_match(labels.begin(), labels.begin() + eq, name))
      return false;
    std::string value;
    std::size_t at = eq + 2;
    for (; at < labels.size() && labels[at] != '"'; ++at) {
      if (labels[at] == '\n') return false;
      if (labels[at] != '\\') {
        value += labels[at];
        continue;
      }
      const char escaped = ++at < labels.size() ? labels[at] : '?';
      if (escaped != 'n' && escaped != '"' && escaped != '\\') return false;
      value += escaped == 'n' ? '\n' : escaped;
    }
    if (at == labels.size() || !parsed.emplace(labels.substr(0, eq), value).second) return false;
    labels.remove_prefix(at + 1);
    if (!labels.empty() && labels[0] != ',') return false;
    if (!labels.empty()) labels.remove_prefix(1);
  }
  return true;
}

TEST(StatusPage, OpenMetricsParsesLineByLine) {
  const std::string body = body_of(render("openmetrics&full"));
  ASSERT_GE(body.size(), 6u);
  EXPECT_EQ(body.substr(body.size() - 6), "# EOF\n");
  static const std::regex meta("# (HELP|TYPE) ([a-zA-Z_:][a-zA-Z0-9_:]*) (.*)");
  static const std::regex sample("([a-zA-Z_:][a-zA-Z0-9_:]*)(\\{(.*)\\})? (-?[0-9]+(\\.[0-9]+)?)");
  std::set<std::string> families;
  std::set<std::pair<std::string, std::map<std::string, std::string>>> samples;
  std::map<std::string, std::string> values;  // name{pid or outcome} -> value
  std::string family, type;
  std::size_t start = 0;
  for (std::size_t end; (end = body.find('\n', start)) < body.size() - 6; start = end + 1) {
    const std::string line = body.substr(start, end - start);
    SCOPED_TRACE(line);
    std::smatch m;
    if (std::regex_match(line, m, meta)) {
      if (m[1] == "HELP") {
        EXPECT_TRUE(families.insert(m[2]).second) << "family declared twice";
        family = m[2];
      } else {
        EXPECT_EQ(m[2], family);
        EXPECT_TRUE(m[3] == "counter" || m[3] == "gauge");
        type = m[3];
      }
      continue;
    }
    ASSERT_TRUE(std::regex_match(line, m, sample));
    EXPECT_EQ(m[1], type == "counter" ? family + "_total" : family);
    std::map<std::string, std::string> labels;
    ASSERT_TRUE(parse_labels(m[3].str(), labels));
    EXPECT_TRUE(samples.emplace(m[1], labels).second) << "the same sample twice";
    if (labels.count("pid")) {
      EXPECT_EQ(labels["script"], kReplaced);
    }
    values[m[1].str() + "{" + labels["pid"] + labels["outcome"] + labels["state"] + "}"] = m[4];
  }
  EXPECT_EQ(values["scriptrunner_ended_requests_total{timed_out}"], "106");
  EXPECT_EQ(values["scriptrunner_processes{idle}"], "109");
  EXPECT_EQ(values["scriptrunner_cache_builds_total{}"], "115");
  EXPECT_EQ(values["scriptrunner_uptime_seconds{}"], "3600");
  EXPECT_EQ(values["scriptrunner_request_elapsed_seconds{4711running}"], "12.345");
  EXPECT_EQ(values["scriptrunner_request_output_bytes{4711running}"], "5120");
  EXPECT_EQ(values.size(), 19u);  // 17 counters and the one request that has a process, twice
}

TEST(OwnPage, OnlyThePathItselfIsAnsweredByTheServer) {
  const struct {
    const char* name;
    PageRequest request;
    OwnPage page;
  } rows[] = {
      {"script name", {"/status", "", ""}, OwnPage::status},
      {"script name and the same uri", {"/status", "/status", ""}, OwnPage::status},
      {"uri alone", {"", "/status", ""}, OwnPage::status},
      {"ping", {"/ping", "/ping", ""}, OwnPage::ping},
      {"a script", {"/cgi/a.cgi", "/cgi/a.cgi", ""}, OwnPage::none},
      {"path info after the path", {"/status", "/status/x", "/x"}, OwnPage::none},
      {"path info alone", {"/status", "", "/x"}, OwnPage::none},
      {"uri of a script beside", {"/status", "/cgi/a.cgi", ""}, OwnPage::none},
      {"uri names it, script name another", {"/cgi/a.cgi", "/status", ""}, OwnPage::none},
      {"a longer name", {"/status2", "", ""}, OwnPage::none},
      {"nothing named", {"", "", ""}, OwnPage::none},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(own_page_for(row.request, "/status", "/ping"), row.page);
  }
  // A page without a path is off, whatever the request names.
  EXPECT_EQ(own_page_for({"", "", ""}, "", ""), OwnPage::none);
  EXPECT_EQ(own_page_for({"/ping", "", ""}, "/status", ""), OwnPage::none);
  EXPECT_EQ(render_ping(), "Content-Type: text/plain\r\nCache-Control: no-store\r\n\r\npong");
}

TEST(SlowLog, LinesKeepTheirFieldsAndStayOneLine) {
  const RunningRequest request = {kHostile, 4711, milliseconds(61'005), 10240,
                                  RequestState::running};
  const std::string path = "/srv/a\"b\\c\\x0Ad\\x01e\xFF\xED\xA0\x80\xC3\xA9.cgi";
  EXPECT_EQ(slow_request_line(request),
            "slow request, pid 4711, 61.005 s, 10240 bytes out so far: " + path);
  const struct {
    RequestOutcome outcome;
    const char* word;
  } ends[] = {{RequestOutcome::served, "served"},
              {RequestOutcome::refused, "refused"},
              {RequestOutcome::failed, "failed"},
              {RequestOutcome::timed_out, "timed out"},
              {RequestOutcome::aborted, "aborted"}};
  for (const auto& end : ends) {
    EXPECT_EQ(slow_request_end_line(request, end.outcome),
              "slow request ended, pid 4711, 61.005 s, 10240 bytes out, " + std::string(end.word) +
                  ": " + path);
  }
}

}  // namespace
}  // namespace sr::fcgi
