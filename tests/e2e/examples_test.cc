// The shipped examples served through the runner with the real stand-in compiler, exactly as a
// web server would see them: the whole response, byte for byte.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "tests/e2e/runner_sandbox.h"

namespace sr::test {
namespace {

const std::string kHeader = "Content-Type: text/html\n\n";

std::string read_example(const std::string& name) {
  std::ifstream in(std::string(SR_EXAMPLES_DIR) + "/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class ExamplesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox_.use_stand_in_compiler();
    sandbox_.write_file("header.html", read_example("header.html"));
  }

  // The example with its shebang line naming this sandbox's runner, switches kept.
  std::string install(const std::string& name) {
    std::string script = read_example(name);
    const std::size_t line_end = script.find('\n');
    const std::string first_line = script.substr(0, line_end);
    const std::string switches = first_line.substr(first_line.find(' '));
    return sandbox_.write_file(
        name, "#!" + sandbox_.runner_path() + switches + script.substr(line_end), 0755);
  }

  static std::string switches_of(const std::string& name) {
    const std::string first_line = read_example(name).substr(0, read_example(name).find('\n'));
    return first_line.substr(first_line.find(' ') + 1);
  }

  RunResult serve(const std::string& name, std::map<std::string, std::string> env = {},
                  const std::string& body = "") {
    const std::string script = install(name);
    return sandbox_.run_script(script, switches_of(name), std::move(env), body);
  }

  RunnerSandbox sandbox_;
};

TEST_F(ExamplesTest, Hello) {
  const RunResult r = serve("hello.zr");
  EXPECT_EQ(r.out, kHeader +
                       "<!DOCTYPE html>\n<html><head><title>Hello</title></head>\n"
                       "<body><h1>Hello, world!</h1></body></html>\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_code, 0);
}

TEST_F(ExamplesTest, FormGreetsTheQueryAndEchoesThePost) {
  const std::string head =
      kHeader + "<!DOCTYPE html>\n<html><head><title>Form</title></head><body>\n";
  const std::string tail =
      "<form method=\"get\">\n"
      "<p>Name: <input name=\"name\"> <button>Greet</button></p></form>\n"
      "<form method=\"post\">\n"
      "<p>Message: <input name=\"message\"> <button>Post</button></p></form>\n"
      "</body></html>\n";
  struct Row {
    const char* name;
    std::string query;
    std::string body;
    std::string middle;
  } rows[] = {
      {"no query, no body", "", "", "<h1>Hello, stranger!</h1>\n"},
      {"escaped name", "name=%3Cb%3EAnn+%26+Bo", "", "<h1>Hello, &lt;b&gt;Ann &amp; Bo!</h1>\n"},
      {"posted message among other fields", "name=Ann", "x=1&MESSAGE=it%27s+%3Chere%3E&y=",
       "<h1>Hello, Ann!</h1>\n<p>You posted: it&#39;s &lt;here&gt;</p>\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::map<std::string, std::string> env;
    if (!row.query.empty()) {
      env = {{"QUERY_STRING", row.query}, {"REQUEST_URI", "/form.zr?" + row.query}};
    }
    if (!row.body.empty()) env["REQUEST_METHOD"] = "POST";
    const RunResult r = serve("form.zr", env, row.body);
    EXPECT_EQ(r.out, head + row.middle + tail);
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(ExamplesTest, InfoListsTheRunnersVariablesAndTheQuery) {
  RunResult r = serve(
      "info.zr", {{"QUERY_STRING", "a=1&b=%3Cx%3E"}, {"REQUEST_URI", "/info.zr?a=1&b=%3Cx%3E"}});
  // The date and the time spent vary from run to run; their form does not.
  const std::regex date("<li>ZR_Interpreter_Date = -?[0-9]+</li>");
  const std::regex spent("<li>ZR_Interpreter_CreationTime = [0-9]+</li>");
  ASSERT_TRUE(std::regex_search(r.out, date)) << r.out;
  ASSERT_TRUE(std::regex_search(r.out, spent)) << r.out;
  r.out = std::regex_replace(r.out, date, "<li>DATE</li>");
  r.out = std::regex_replace(r.out, spent, "<li>SPENT</li>");
  EXPECT_EQ(r.out, kHeader +
                       "<!DOCTYPE html>\n<html><head><title>Info</title></head><body>\n"
                       "<h1>Runner variables</h1>\n<ul>\n"
                       "<li>ZR_Interpreter_Version = 150</li>\n"
                       "<li>ZR_Interpreter_ZRVersion = 430</li>\n"
                       "<li>ZR_Interpreter_ProgramFilename = " +
                       sandbox_.runner_path() +
                       "</li>\n"
                       "<li>DATE</li>\n<li>SPENT</li>\n"
                       "<li>ZR_Interpreter_QueryStrings = 2</li>\n"
                       "<li>ZR_Interpreter_ParamForce = (not set)</li>\n"
                       "<li>ZR_Interpreter_ParamCompress = (not set)</li>\n"
                       "<li>ZR_Interpreter_ParamWarn = 1</li>\n"
                       "<li>ZR_Interpreter_ParamParse = (not set)</li>\n"
                       "</ul>\n<h1>Query parameters</h1>\n<ul>\n"
                       "<li>GET_a = 1</li>\n<li>GET_b = %3Cx%3E</li>\n</ul>\n</body></html>\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(ExamplesTest, HereDocumentPageWithAnIncludeFile) {
  const RunResult r = serve(
      "heredoc.zr", {{"QUERY_STRING", "name=J%26J"}, {"REQUEST_URI", "/heredoc.zr?name=J%26J"}});
  EXPECT_EQ(r.out, kHeader +
                       "<!DOCTYPE html>\n<html><head><title>Here-documents</title></head>\n"
                       "<body>\n<h1>Built from blocks</h1>\n"
                       "<p>Every line between the opening and the closing line\n"
                       "becomes part of one string, joined by line feeds.</p>\n"
                       "<p>Welcome, J&amp;J.</p>\n</body></html>\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(ExamplesTest, CompileErrorOfTheStandInReachesThePage) {
  const std::string script = sandbox_.write_file(
      "broken.zr", "#!" + sandbox_.runner_path() + " -w\nx = \"text\" + 1\n", 0755);
  const RunResult r = sandbox_.run_script(script, "-w");
  const std::string message =
      "Compilation process did not finish correctly. Error: \"Line 2: Type mismatch\n\".";
  EXPECT_EQ(r.out, warn_page(message));
  EXPECT_EQ(r.err, message + "\n");
}

}  // namespace
}  // namespace sr::test
