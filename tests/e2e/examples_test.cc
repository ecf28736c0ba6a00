// The shipped examples served through the runner with the real stand-in compiler, exactly as a
// web server would see them: the whole response, byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/runner_sandbox.h"

namespace sr::test {
namespace {

const std::string kHeader = "Content-Type: text/html; charset=utf-8\n\n";

// What the shared procedures of layout.inc write at the top and the bottom of a page.
std::string page_start(const std::string& title) {
  return kHeader + "<!DOCTYPE html>\n<html><head><meta charset='utf-8'><title>" + title +
         "</title></head>\n<body><h1>" + title + "</h1>\n";
}
const std::string kPageEnd =
    "<hr><p><a href='page.zr'>page</a> | <a href='guestbook.zr'>guestbook</a> | "
    "<a href='signup.zr'>sign-up form</a> | <a href='item.zr?id=1'>JSON</a></p>\n"
    "</body></html>\n";

std::string read_example(const std::string& name) {
  std::ifstream in(std::string(SR_EXAMPLES_DIR) + "/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class ExamplesTest : public ::testing::Test {
 protected:
  // The scripts lie in htdocs/, as below a web server's document folder, with the files they
  // include; the guestbook keeps its entries in the folder beside it.
  void SetUp() override {
    sandbox_.use_stand_in_compiler();
    sandbox_.write_file("htdocs/header.html", read_example("header.html"));
    sandbox_.write_file("htdocs/layout.inc", read_example("layout.inc"));
  }

  // The example with its shebang line naming this sandbox's runner, switches kept.
  std::string install(const std::string& name) {
    std::string script = read_example(name);
    const std::size_t line_end = script.find('\n');
    const std::string first_line = script.substr(0, line_end);
    const std::string switches = first_line.substr(first_line.find(' '));
    return sandbox_.write_file(
        "htdocs/" + name, "#!" + sandbox_.runner_path() + switches + script.substr(line_end), 0755);
  }

  static std::string switches_of(const std::string& name) {
    const std::string first_line = read_example(name).substr(0, read_example(name).find('\n'));
    return first_line.substr(first_line.find(' ') + 1);
  }

  // Runs the example as a web server does: in the script's own folder, with SCRIPT_FILENAME
  // naming it and the body's length in CONTENT_LENGTH.
  RunResult serve(const std::string& name, std::map<std::string, std::string> env = {},
                  const std::string& body = "") {
    RunOptions options;
    options.switches = switches_of(name);
    options.env = std::move(env);
    options.env["SCRIPT_FILENAME"] = install(name);
    if (!body.empty()) options.env["CONTENT_LENGTH"] = std::to_string(body.size());
    options.stdin_data = body;
    options.cwd = sandbox_.dir() + "/htdocs";
    return sandbox_.run(options);
  }

  RunnerSandbox sandbox_;
};

// The query as a web server passes it.
std::map<std::string, std::string> query(const std::string& name, const std::string& q) {
  return {{"QUERY_STRING", q}, {"REQUEST_URI", "/" + name + "?" + q}};
}

TEST_F(ExamplesTest, HelloGreetsTheNameFromTheQuery) {
  struct Row {
    const char* name;
    std::string query;
    std::string greeted;
  } rows[] = {
      {"no query", "", "world"},
      {"a name", "name=Ann", "Ann"},
      {"an encoded name, escaped", "name=%3Cb%3EJ%C3%BCrgen+%26+Bo",
       "&lt;b&gt;J\xC3\xBCrgen &amp; Bo"},
      {"an empty name", "name=", "world"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const RunResult r = serve("hello.zr", query("hello.zr", row.query));
    EXPECT_EQ(r.out, kHeader +
                         "<!DOCTYPE html>\n<html><head><meta charset='utf-8'><title>Hello</title>"
                         "</head>\n<body><h1>Hello, " +
                         row.greeted + "!</h1></body></html>\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
  }
}

TEST_F(ExamplesTest, FormGreetsTheQueryAndEchoesThePost) {
  const std::string head =
      kHeader +
      "<!DOCTYPE html>\n<html><head><meta charset='utf-8'><title>Form</title></head><body>\n";
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
      env = query("form.zr", row.query);
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
  // Sorted by name, the variables that are set and no others.
  EXPECT_EQ(r.out, kHeader +
                       "<!DOCTYPE html>\n<html><head><meta charset='utf-8'><title>Info</title>"
                       "</head><body>\n"
                       "<h1>Runner variables</h1>\n<ul>\n"
                       "<li>SPENT</li>\n<li>DATE</li>\n"
                       "<li>ZR_Interpreter_ParamWarn = 1</li>\n"
                       "<li>ZR_Interpreter_ProgramFilename = " +
                       sandbox_.runner_path() +
                       "</li>\n"
                       "<li>ZR_Interpreter_QueryStrings = 2</li>\n"
                       "<li>ZR_Interpreter_Version = 150</li>\n"
                       "<li>ZR_Interpreter_ZRVersion = 430</li>\n"
                       "</ul>\n<h1>Query parameters</h1>\n<ul>\n"
                       "<li>GET_a = 1</li>\n<li>GET_b = %3Cx%3E</li>\n</ul>\n</body></html>\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(ExamplesTest, HereDocumentPageWithAnIncludeFile) {
  const RunResult r = serve(
      "heredoc.zr", {{"QUERY_STRING", "name=J%26J"}, {"REQUEST_URI", "/heredoc.zr?name=J%26J"}});
  EXPECT_EQ(r.out, kHeader +
                       "<!DOCTYPE html>\n<html><head><meta charset='utf-8'><title>Here-documents"
                       "</title></head>\n"
                       "<body>\n<h1>Built from blocks</h1>\n"
                       "<p>Every line between the opening and the closing line\n"
                       "becomes part of one string, joined by line feeds.</p>\n"
                       "<p>Welcome, J&amp;J.</p>\n</body></html>\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(ExamplesTest, PageIsBuiltFromTheSharedLayout) {
  const RunResult r = serve("page.zr", query("page.zr", "name=%3Ci%3EAnn"));
  EXPECT_EQ(r.out, page_start("Shared layout") +
                       "<p>Welcome, &lt;i&gt;Ann. The top and the bottom of this page come from "
                       "layout.inc.</p>\n" +
                       kPageEnd);
  EXPECT_EQ(r.err, "");
}

TEST_F(ExamplesTest, ItemAnswersInJsonWithTheRightStatus) {
  const std::string json = "Content-Type: application/json; charset=utf-8\n\n";
  struct Row {
    const char* name;
    std::string query;
    std::string out;
  } rows[] = {
      {"a plain item", "id=1", json + "{\"id\": 1, \"name\": \"Tea, green\", \"price\": 3.50}\n"},
      {"quotes in the name are escaped", "id=2",
       json + "{\"id\": 2, \"name\": \"Coffee \\\"Dark\\\"\", \"price\": 4.20}\n"},
      {"UTF-8 passes unchanged", "x=1&id=3",
       json + "{\"id\": 3, \"name\": \"Cr\xC3\xA8me br\xC3\xBBl\xC3\xA9"
              "e\", \"price\": 5.75}\n"},
      {"an unknown id", "id=4",
       "Status: 404 Not Found\n" + json + "{\"error\": \"no item with the id 4\"}\n"},
      {"id 0", "id=0",
       "Status: 404 Not Found\n" + json + "{\"error\": \"no item with the id 0\"}\n"},
      {"no id", "",
       "Status: 400 Bad Request\n" + json + "{\"error\": \"id must be a whole number, not ''\"}\n"},
      {"an id that is not a number, escaped", "id=1%22%0A",
       "Status: 400 Bad Request\n" + json +
           "{\"error\": \"id must be a whole number, not '1\\\"\\n'\"}\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const RunResult r = serve("item.zr", query("item.zr", row.query));
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err, "");
  }
}

// The notes API in turn, each request a run of its own over the one data file: what a client
// of it sees, byte for byte, and the file it leaves.
TEST_F(ExamplesTest, NotesApiAnswersJsonForEveryRequest) {
  sandbox_.write_file("notes-data/.keep", "");
  const std::string json = "Content-Type: application/json; charset=utf-8\n\n";
  struct Row {
    const char* name;
    std::string method, query, content_type, body, out;
  } rows[] = {
      {"no notes yet", "GET", "", "", "", "Status: 200 OK\n" + json + "{\"notes\":[]}\n"},
      {"a note added, its text decoded and written back escaped", "POST", "",
       "application/json; charset=utf-8", "{\"text\": \"Zo\\u00eb \\\"<b>\\\"\", \"text\": \"x\"}",
       "Status: 201 Created\n" + json + "{\"id\":1,\"text\":\"Zo\xC3\xAB \\\"<b>\\\"\"}\n"},
      {"a second note", "POST", "", "application/json", "{\"text\": \"two\"}",
       "Status: 201 Created\n" + json + "{\"id\":2,\"text\":\"two\"}\n"},
      {"bad JSON names its byte", "POST", "", "application/json", "{\"text\": \"a\",}",
       "Status: 400 Bad Request\n" + json +
           "{\"error\":\"invalid JSON at byte 14: a string is missing\"}\n"},
      {"a text that is no string", "POST", "", "application/json", "{\"text\": 5}",
       "Status: 400 Bad Request\n" + json +
           "{\"error\":\"the body must be an object with a string text\"}\n"},
      {"a type that only begins like JSON", "POST", "", "application/jsonp", "{\"text\": \"x\"}",
       "Status: 415 Unsupported Media Type\n" + json +
           "{\"error\":\"the body must be application/json\"}\n"},
      {"a form post", "POST", "", "application/x-www-form-urlencoded", "text=x",
       "Status: 415 Unsupported Media Type\n" + json +
           "{\"error\":\"the body must be application/json\"}\n"},
      {"one note", "GET", "id=2", "", "",
       "Status: 200 OK\n" + json + "{\"id\":2,\"text\":\"two\"}\n"},
      {"an unknown id", "GET", "id=3", "", "",
       "Status: 404 Not Found\n" + json + "{\"error\":\"no note with the id 3\"}\n"},
      {"a note removed", "DELETE", "id=1", "", "", "Status: 200 OK\n" + json + "{\"deleted\":1}\n"},
      {"removed once only", "DELETE", "id=1", "", "",
       "Status: 404 Not Found\n" + json + "{\"error\":\"no note with the id 1\"}\n"},
      {"the list", "GET", "", "", "",
       "Status: 200 OK\n" + json + "{\"notes\":[{\"id\":2,\"text\":\"two\"}]}\n"},
      {"another method", "PUT", "id=2", "", "",
       "Status: 405 Method Not Allowed\nAllow: GET, POST, DELETE\n" + json +
           "{\"error\":\"the method must be GET, POST or DELETE\"}\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::map<std::string, std::string> env = {{"REQUEST_METHOD", row.method},
                                              {"QUERY_STRING", row.query}};
    if (!row.content_type.empty()) env["CONTENT_TYPE"] = row.content_type;
    const RunResult r = serve("notes.zr", env, row.body);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err, "");
  }
  EXPECT_EQ(RunnerSandbox::read_file(sandbox_.dir() + "/notes-data/notes.json"),
            "{\"next\":3,\"notes\":{\"2\":{\"id\":2,\"text\":\"two\"}}}");
}

TEST_F(ExamplesTest, SignupShowsEachProblemBesideItsField) {
  const std::string button = "<p><button>Sign up</button></p></form>\n";
  auto input = [](const std::string& label, const std::string& field, const std::string& value,
                  const std::string& problem) {
    return "<p><label>" + label + " <input name='" + field + "' value='" + value +
           "'></label></p>\n" + (problem.empty() ? "" : "<p class='error'>" + problem + "</p>\n");
  };
  const std::string form = "<form method='post' action='signup.zr'>\n";
  struct Row {
    const char* name;
    std::string body;
    std::string middle;
  } rows[] = {
      {"a first visit shows the empty form", "",
       form + input("Name", "name", "", "") + input("E-mail", "email", "", "") +
           input("Age", "age", "", "")},
      {"every field wrong, what was typed kept and escaped", "name=+&email=ann%40&age=%27x%3C",
       "<p class='error'>Some fields need another look.</p>\n" + form +
           input("Name", "name", " ", "Please tell us your name.") +
           input("E-mail", "email", "ann@", "An e-mail address looks like name@example.org.") +
           input("Age", "age", "&#39;x&lt;", "Your age, in whole years, please.")},
      {"too young", "name=Bo&email=bo%40example.org&age=15",
       "<p class='error'>Some fields need another look.</p>\n" + form +
           input("Name", "name", "Bo", "") + input("E-mail", "email", "bo@example.org", "") +
           input("Age", "age", "15", "You must be 16 or older to sign up.")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const RunResult r =
        serve("signup.zr",
              row.body.empty() ? std::map<std::string, std::string>{}
                               : std::map<std::string, std::string>{{"REQUEST_METHOD", "POST"}},
              row.body);
    EXPECT_EQ(r.out, page_start("Sign up") + row.middle + button + kPageEnd);
    EXPECT_EQ(r.err, "");
  }
  const RunResult ok = serve("signup.zr", {{"REQUEST_METHOD", "POST"}},
                             "name=Ann+%3CA%3E&email=ann%40example.org&age=42");
  EXPECT_EQ(ok.out, page_start("Welcome") +
                        "<p>Thank you, Ann &lt;A&gt;. We will write to ann@example.org.</p>\n" +
                        kPageEnd);
}

class GuestbookTest : public ExamplesTest {
 protected:
  RunResult post(const std::string& body) {
    RunResult r = serve("guestbook.zr", {{"REQUEST_METHOD", "POST"}}, body);
    // The entries show when they were written, which varies; its form does not.
    const std::regex when(" \\([0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2} UTC\\): ");
    r.out = std::regex_replace(r.out, when, " (WHEN): ");
    return r;
  }
  std::string page(const std::string& message, const std::string& name, const std::string& text,
                   const std::string& entries) {
    return page_start("Guestbook") + message + "<form method='post' action='guestbook.zr'>\n" +
           "<p>Name: <input name='name' value='" + name + "'></p>\n" +
           "<p>Message: <textarea name='message'>" + text + "</textarea></p>\n" +
           "<p><button>Sign the guestbook</button></p></form>\n<ul>\n" + entries + "</ul>\n" +
           (entries.empty() ? "<p>No entries yet.</p>\n" : "") + kPageEnd;
  }
  std::string entries_file() const {
    return RunnerSandbox::read_file(sandbox_.dir() + "/guestbook-data/entries.txt");
  }
};

TEST_F(GuestbookTest, PostsAreKeptAndListedNewestFirstEscaped) {
  sandbox_.write_file("guestbook-data/.keep", "");
  EXPECT_EQ(serve("guestbook.zr").out, page("", "", "", ""));

  const std::string thanks = "<p class='note'>Thank you, your entry is in the book.</p>\n";
  const std::string first =
      "<li><b>&lt;Ann&gt;</b> (WHEN): Hi &amp; &quot;bye&quot;\nsee you</li>\n";
  RunResult r = post("name=%3CAnn%3E&message=Hi+%26+%22bye%22%0Asee+you");
  EXPECT_EQ(r.out, page(thanks, "", "", first));
  EXPECT_EQ(r.err, "");

  // A post without a message is refused and keeps what was typed; the book is unchanged.
  const std::string before = entries_file();
  r = post("name=Bo+%27B%27&message=+");
  EXPECT_EQ(r.out, page("<p class='error'>Please give your name and a message.</p>\n",
                        "Bo &#39;B&#39;", " ", first));
  EXPECT_EQ(entries_file(), before);

  r = post("message=second%09one&name=Bo");
  EXPECT_EQ(r.out, page(thanks, "", "", "<li><b>Bo</b> (WHEN): second\tone</li>\n" + first));
  // One line per entry, whatever its fields hold.
  const std::string book = entries_file();
  EXPECT_TRUE(std::regex_match(book, std::regex("([0-9]+\t[^\t\n]*\t[^\t\n]*\n){2}"))) << book;
}

TEST_F(GuestbookTest, AMissingFolderIsReportedNotIgnored) {
  const RunResult r = post("name=Ann&message=Hi");
  EXPECT_EQ(r.out, page("<p class='error'>Your entry could not be saved. Please try again "
                        "later.</p>\n",
                        "Ann", "Hi", ""));
  EXPECT_EQ(r.err,
            "guestbook: cannot append to ../guestbook-data/entries.txt (is the folder there and "
            "writable?)\n");
}

// Signing up stores a hash, not the password; the session cookie opens the page and is kept
// only as its hash; a post without the CSRF cookie's token, or with a wrong password, changes
// nothing.
TEST_F(ExamplesTest, LoginKeepsHashesAndRefusesForgedPosts) {
  sandbox_.write_file("login-data/.keep", "");
  const std::map<std::string, std::string> site = {{"HTTP_HOST", "example.org"},
                                                   {"SCRIPT_NAME", "/cgi/login.zr"}};
  auto with = [&](std::map<std::string, std::string> env) {
    env.insert(site.begin(), site.end());
    return env;
  };
  const RunResult first = serve("login.zr", with({}));
  std::smatch m;
  ASSERT_TRUE(std::regex_search(first.out, m,
                                std::regex("^Set-Cookie: csrf=([-_A-Za-z0-9]{32}); "
                                           "HttpOnly; SameSite=Lax; Path=/; "
                                           "Max-Age=86400\n")))
      << first.out;
  const std::string csrf = m[1];
  EXPECT_NE(first.out.find("name='csrf' value='" + csrf + "'"), std::string::npos);

  auto post = [&](const std::string& cookies, const std::string& body) {
    return serve("login.zr", with({{"REQUEST_METHOD", "POST"}, {"HTTP_COOKIE", cookies}}), body);
  };
  const std::string signup = "action=signup&name=ann&password=correct+horse&csrf=";
  RunResult r = post("csrf=" + csrf, signup + "forged");
  EXPECT_NE(r.out.find("The form has expired."), std::string::npos) << r.out;
  EXPECT_EQ(access((sandbox_.dir() + "/login-data/users.txt").c_str(), F_OK), -1);

  r = post("theme=dark; csrf=" + csrf, signup + csrf);
  ASSERT_TRUE(std::regex_match(r.out, m,
                               std::regex("Set-Cookie: session=([-_A-Za-z0-9]{43}); HttpOnly; "
                                          "SameSite=Lax; Path=/; Max-Age=3600\nStatus: 302 "
                                          "Found\nLocation: http://example.org/cgi/login.zr\n\n")))
      << r.out << r.err;
  const std::string session = m[1];
  const std::string users = RunnerSandbox::read_file(sandbox_.dir() + "/login-data/users.txt");
  EXPECT_TRUE(users.starts_with("ann\t$argon2id$v=19$")) << users;
  EXPECT_EQ(users.find("correct"), std::string::npos);
  const std::string sessions =
      RunnerSandbox::read_file(sandbox_.dir() + "/login-data/sessions.txt");
  EXPECT_EQ(sessions.find(session), std::string::npos);

  r = serve("login.zr", with({{"HTTP_COOKIE", "session=" + session + "; csrf=" + csrf}}));
  EXPECT_NE(r.out.find("<p>You are signed in as ann.</p>"), std::string::npos) << r.out;
  const char other = session[0] == 'x' ? 'y' : 'x';  // a token may itself start with 'x'
  r = serve("login.zr", with({{"HTTP_COOKIE", "session=" + (other + session.substr(1))}}));
  EXPECT_NE(r.out.find("name='password'"), std::string::npos) << r.out;

  r = post("csrf=" + csrf, "action=login&name=ann&password=correct+horsf&csrf=" + csrf);
  EXPECT_NE(r.out.find("Wrong name or password."), std::string::npos) << r.out;
  r = post("csrf=" + csrf, "action=login&name=ann&password=correct+horse&csrf=" + csrf);
  EXPECT_TRUE(r.out.starts_with("Set-Cookie: session=")) << r.out;
  EXPECT_EQ(r.err, "");
}

// Six visitors sign up with one name at the same moment: the lock around the look-up and the
// append lets exactly one of them have it, and the others are told that it is taken.
TEST_F(ExamplesTest, LoginGivesANameToOneOfConcurrentSignUps) {
  constexpr int kVisitors = 6;
  sandbox_.write_file("login-data/.keep", "");
  const std::string token(32, 'a');
  RunOptions options;
  options.switches = switches_of("login.zr");
  options.env = {{"HTTP_HOST", "example.org"},
                 {"SCRIPT_NAME", "/cgi/login.zr"},
                 {"REQUEST_METHOD", "POST"},
                 {"HTTP_COOKIE", "csrf=" + token},
                 {"SCRIPT_FILENAME", install("login.zr")}};
  options.stdin_data = "action=signup&name=bob&password=correct+horse&csrf=" + token;
  options.env["CONTENT_LENGTH"] = std::to_string(options.stdin_data.size());
  options.cwd = sandbox_.dir() + "/htdocs";
  RunOptions look = options;  // a plain visit first compiles the page, once
  look.env.erase("REQUEST_METHOD");
  look.env.erase("CONTENT_LENGTH");
  look.stdin_data.clear();
  ASSERT_NE(sandbox_.run(look).out.find("name='password'"), std::string::npos);
  std::vector<RunResult> results(kVisitors);
  std::vector<std::thread> visitors;
  for (RunResult& result : results) {
    visitors.emplace_back([&] { result = sandbox_.run(options); });
  }
  for (std::thread& visitor : visitors) visitor.join();
  int signed_up = 0, taken = 0;
  for (const RunResult& r : results) {
    signed_up += r.out.starts_with("Set-Cookie: session=") ? 1 : 0;
    taken += r.out.find("That name is taken.") != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(signed_up, 1);
  EXPECT_EQ(taken, kVisitors - 1);
  const std::string users = RunnerSandbox::read_file(sandbox_.dir() + "/login-data/users.txt");
  EXPECT_EQ(std::count(users.begin(), users.end(), '\n'), 1) << users;
  EXPECT_TRUE(users.starts_with("bob\t")) << users;
}

class UploadTest : public ExamplesTest {
 protected:
  RunResult post(const std::string& body) {
    return serve(
        "upload.zr",
        {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", "multipart/form-data; boundary=XyZ"}}, body);
  }
  static std::string part(const std::string& disposition, const std::string& data) {
    return "--XyZ\r\nContent-Disposition: form-data; " + disposition + "\r\n\r\n" + data + "\r\n";
  }
  std::string page(const std::string& message, const std::string& listing) {
    return page_start("Uploads") + message +
           "<form method='post' action='upload.zr' enctype='multipart/form-data'>\n"
           "<p><input type='file' name='file' multiple> <button>Upload</button></p></form>\n" +
           listing + kPageEnd;
  }
  // The uploads folder's files and their contents.
  std::map<std::string, std::string> saved() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(sandbox_.dir() + "/upload-data")) {
      files[entry.path().filename()] = RunnerSandbox::read_file(entry.path());
    }
    return files;
  }
};

// Files are saved byte for byte in the folder outside the document folder, under the visitor's
// name made safe after a random prefix, and listed; a path in a name leads nowhere else.
TEST_F(UploadTest, FilesAreSavedUnderSafeNamesAndListed) {
  std::filesystem::create_directories(sandbox_.dir() + "/upload-data");
  EXPECT_EQ(serve("upload.zr").out, page("", "<p>Nothing was uploaded yet.</p>\n"));
  const std::string binary("\x89PNG\r\n\0\r\n--Xy\xff\r", 14);  // all but a boundary
  const RunResult r =
      post(part("name=\"title\"", "holiday") +
           part("name=\"file\"; filename=\"../htdocs/up.zr\"\r\nContent-Type: text/plain",
                "#!/bin/sh\r\n") +
           part("name=\"file\"; filename=\"C:\\pics\\<b>.png\"", binary) + "--XyZ--\r\n");
  EXPECT_EQ(r.err, "");
  const std::map<std::string, std::string> files = saved();
  ASSERT_EQ(files.size(), 2u) << r.out;
  std::string listing = "<ul>\n", message;
  for (const auto& [name, content] : files) {
    SCOPED_TRACE(name);
    const bool png = name.ends_with("-_b_.png");
    EXPECT_TRUE(std::regex_match(name, std::regex("[0-9a-f]{8}-(up\\.zr|_b_\\.png)")));
    EXPECT_EQ(content, png ? binary : "#!/bin/sh\r\n");
    listing += "<li>" + name + ", " + std::to_string(content.size()) + " bytes</li>\n";
    const std::string saying = "Saved " + name + " (" + std::to_string(content.size()) + " bytes).";
    message = png ? message + " " + saying : saying + message;
  }
  EXPECT_EQ(r.out, page("<p>" + message + "</p>\n", listing + "</ul>\n"));
  EXPECT_FALSE(std::filesystem::exists(sandbox_.dir() + "/htdocs/up.zr"));
  EXPECT_EQ(serve("upload.zr").out, page("", listing + "</ul>\n"));
}

// Too large a body is refused before it is read, a malformed one and one without a file are
// answered with what went wrong, and a missing folder is reported, not ignored: nothing is saved.
TEST_F(UploadTest, RefusedUploadsSaveNothing) {
  std::filesystem::create_directories(sandbox_.dir() + "/upload-data");
  const std::string empty = "<p>Nothing was uploaded yet.</p>\n";
  const std::string file = part("name=\"file\"; filename=\"a.txt\"", "a");
  RunResult r = post(file + part("name=\"pad\"", std::string(1 << 20, 'x')) + "--XyZ--");
  EXPECT_EQ(r.out,
            "Status: 413 Content Too Large\n" +
                page("<p>That is too large: an upload may have at most 1 MiB.</p>\n", empty));
  r = post(file);
  EXPECT_EQ(r.out, "Status: 400 Bad Request\n" +
                       page("<p>The upload could not be read. Please try again.</p>\n", empty));
  EXPECT_EQ(r.err, "upload: byte 76: the final boundary is missing\n");
  r = post(part("name=\"file\"; filename=\"\"", "") + "--XyZ--");
  EXPECT_EQ(r.out, page("<p>Please choose a file first.</p>\n", empty));
  EXPECT_TRUE(saved().empty());
  std::filesystem::remove(sandbox_.dir() + "/upload-data");
  r = post(file + "--XyZ--");
  EXPECT_EQ(r.out, page("<p>A file could not be saved. Please try again later.</p>\n",
                        "<p>The uploads cannot be listed. Please try again later.</p>\n"));
  EXPECT_TRUE(
      std::regex_match(r.err, std::regex("upload: cannot write \\.\\./upload-data/"
                                         "[0-9a-f]{8}-a\\.txt \\(is the folder there and "
                                         "writable\\?\\)\nupload: cannot list "
                                         "\\.\\./upload-data/ \\(is the folder there\\?\\)\n")))
      << r.err;
}

TEST_F(ExamplesTest, CompileErrorOfTheStandInReachesThePage) {
  const std::string script = sandbox_.write_file(
      "broken.zr", "#!" + sandbox_.runner_path() + " -w\nx = \"text\" + 1\n", 0755);
  const RunResult r = sandbox_.run_script(script, "-w");
  // The compiler's own words may grow; the line and the kind of error are what a user needs.
  const std::string start =
      "Compilation process did not finish correctly. Error: \"broken.zr: Line 2: Type mismatch";
  ASSERT_TRUE(r.err.starts_with(start)) << r.err;
  ASSERT_TRUE(r.err.ends_with("\n\".\n")) << r.err;
  EXPECT_EQ(r.out, warn_page(r.err.substr(0, r.err.size() - 1)));
}

}  // namespace
}  // namespace sr::test
