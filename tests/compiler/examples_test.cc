// Each example compiled as the runner prepares it (";" over the first character) and run with a
// CGI-like environment; the whole response is checked.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "tests/compiler/compile_harness.h"

namespace sr::test {
namespace {

std::string read_example(const std::string& name) {
  std::ifstream in(std::string(SR_EXAMPLES_DIR) + "/" + name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string as_runner_writes(std::string script) {
  if (!script.empty()) script[0] = ';';
  return script;
}

// The two block kinds heredoc.zr uses, expanded the way the runner's parse mode does: a line
// ending in "<<here" joins the block's lines with "+#LF$+", "<<include" inserts the files named,
// and the closing line's text after "<<" ends the line.
std::string expand_blocks(const std::string& script, const std::string& folder) {
  std::istringstream in(script);
  std::string line, out;
  std::getline(in, line);
  out = ";" + line.substr(1) + "\n";
  while (std::getline(in, line)) {
    size_t open = line.rfind("<<");
    std::string kind = open == std::string::npos ? "" : line.substr(open + 2);
    if (kind != "here" && kind != "include") {
      out += line + "\n";
      continue;
    }
    out += line.substr(0, open);
    while (std::getline(in, line) && line.rfind("<<", 0) != 0) {
      if (kind == "here") {
        out += "\"+#LF$+\"" + line;
        continue;
      }
      std::ifstream file(folder + "/" + line);
      std::string included, sep;
      while (std::getline(file, included)) out += std::exchange(sep, "\"+#LF$+\"") + included;
    }
    out += line.substr(2) + "\n";
  }
  return out;
}

const std::string kHeader = "Content-Type: text/html\n\n";

TEST(Examples, Hello) {
  CompileSandbox box;
  ProcessResult r = box.compile_and_run(as_runner_writes(read_example("hello.zr")));
  EXPECT_EQ(r.out, kHeader +
                       "<!DOCTYPE html>\n<html><head><title>Hello</title></head>\n"
                       "<body><h1>Hello, world!</h1></body></html>\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_code, 0);
}

TEST(Examples, Form) {
  const std::string tail =
      "<form method=\"get\">\n"
      "<p>Name: <input name=\"name\"> <button>Greet</button></p></form>\n"
      "<form method=\"post\">\n"
      "<p>Message: <input name=\"message\"> <button>Post</button></p></form>\n"
      "</body></html>\n";
  const std::string head =
      kHeader + "<!DOCTYPE html>\n<html><head><title>Form</title></head><body>\n";
  struct Case {
    const char* name;
    std::map<std::string, std::string> env;
    std::string body;
    std::string middle;
  };
  const Case cases[] = {
      {"no query, no body", {}, "", "<h1>Hello, stranger!</h1>\n"},
      {"escaped name",
       {{"GET_name", "%3Cb%3EAnn+%26+Bo"}},
       "",
       "<h1>Hello, &lt;b&gt;Ann &amp; Bo!</h1>\n"},
      {"posted message among other fields",
       {{"GET_name", "Ann"}, {"REQUEST_METHOD", "POST"}},
       "x=1&MESSAGE=it%27s+%3Chere%3E&y=",
       "<h1>Hello, Ann!</h1>\n<p>You posted: it&#39;s &lt;here&gt;</p>\n"},
  };
  CompileSandbox box;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult r = box.compile_and_run(as_runner_writes(read_example("form.zr")), c.env, c.body);
    EXPECT_EQ(r.out, head + c.middle + tail);
    EXPECT_EQ(r.exit_code, 0);
  }
}

TEST(Examples, Info) {
  std::map<std::string, std::string> env = {
      {"QUERY_STRING", "a=1&b=%3Cx%3E"},
      {"GET_a", "1"},
      {"GET_b", "%3Cx%3E"},
      {"ZR_Interpreter_Version", "150"},
      {"ZR_Interpreter_ZRVersion", "430"},
      {"ZR_Interpreter_ProgramFilename", "/usr/lib/sr/scriptrunner"},
      {"ZR_Interpreter_Date", "1700000000"},
      {"ZR_Interpreter_CreationTime", "3"},
      {"ZR_Interpreter_QueryStrings", "2"},
      {"ZR_Interpreter_ParamWarn", "1"}};
  CompileSandbox box;
  ProcessResult r = box.compile_and_run(as_runner_writes(read_example("info.zr")), env);
  EXPECT_EQ(r.out, kHeader +
                       "<!DOCTYPE html>\n<html><head><title>Info</title></head><body>\n"
                       "<h1>Runner variables</h1>\n<ul>\n"
                       "<li>ZR_Interpreter_Version = 150</li>\n"
                       "<li>ZR_Interpreter_ZRVersion = 430</li>\n"
                       "<li>ZR_Interpreter_ProgramFilename = /usr/lib/sr/scriptrunner</li>\n"
                       "<li>ZR_Interpreter_Date = 1700000000</li>\n"
                       "<li>ZR_Interpreter_CreationTime = 3</li>\n"
                       "<li>ZR_Interpreter_QueryStrings = 2</li>\n"
                       "<li>ZR_Interpreter_ParamForce = (not set)</li>\n"
                       "<li>ZR_Interpreter_ParamCompress = (not set)</li>\n"
                       "<li>ZR_Interpreter_ParamWarn = 1</li>\n"
                       "<li>ZR_Interpreter_ParamParse = (not set)</li>\n"
                       "</ul>\n<h1>Query parameters</h1>\n<ul>\n"
                       "<li>GET_a = 1</li>\n<li>GET_b = %3Cx%3E</li>\n</ul>\n</body></html>\n");
  EXPECT_EQ(r.exit_code, 0);
}

TEST(Examples, HereDocument) {
  const std::string source = expand_blocks(read_example("heredoc.zr"), SR_EXAMPLES_DIR);
  CompileSandbox box;
  ProcessResult r = box.compile_and_run(source, {{"GET_name", "J%26J"}});
  EXPECT_EQ(r.out, kHeader +
                       "<!DOCTYPE html>\n<html><head><title>Here-documents</title></head>\n"
                       "<body>\n<h1>Built from blocks</h1>\n"
                       "<p>Every line between the opening and the closing line\n"
                       "becomes part of one string, joined by line feeds.</p>\n"
                       "<p>Welcome, J&amp;J.</p>\n</body></html>\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_code, 0);
}

}  // namespace
}  // namespace sr::test
