#include <gtest/gtest.h>

#include <set>

#include "platform/http.h"

namespace vandrel::platform {
namespace {

TEST(HttpEncodingTest, PercentEncodingLeavesOnlyUnreservedBytes) {
  struct Case {
    const char* name;
    std::string in;
    std::string out;
  } cases[] = {
      {"plus", "a+b", "a%2Bb"},
      {"ampersand and equals", "a&b=c", "a%26b%3Dc"},
      {"blank", "a b", "a%20b"},
      {"non-ASCII", "\xC3\xA9\xE5\x90\x8D", "%C3%A9%E5%90%8D"},
      {"unreserved", "AZaz09-._~", "AZaz09-._~"},
      {"delimiters", "/?#[]@!$'()*,;:%", "%2F%3F%23%5B%5D%40%21%24%27%28%29%2A%2C%3B%3A%25"},
      {"NUL and controls", std::string("a\0\n", 3), "a%00%0A"},
      {"empty", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(percentEncode(c.in), c.out);
  }
}

TEST(HttpEncodingTest, FormEncodingKeepsOrderAndEscapesKeysAndValues) {
  EXPECT_EQ(formEncode({{"username", "a+b@x.com"}, {"k=1", "v&w"}, {"empty", ""}}),
            "username=a%2Bb%40x.com&k%3D1=v%26w&empty=");
  EXPECT_EQ(formEncode({}), "");
}

TEST(HttpEncodingTest, AppendQueryJoinsExistingQueryAndKeepsFragment) {
  struct Case {
    const char* name;
    std::string url;
    QueryItems items;
    std::string out;
  } cases[] = {
      {"no query yet", "https://h/p", {{"a", "1"}, {"b", "x y"}}, "https://h/p?a=1&b=x%20y"},
      {"existing query", "https://h/p?x=0", {{"a", "1"}}, "https://h/p?x=0&a=1"},
      {"trailing question mark", "https://h/p?", {{"a", "1"}}, "https://h/p?a=1"},
      {"trailing ampersand", "https://h/p?x=0&", {{"a", "1"}}, "https://h/p?x=0&a=1"},
      {"fragment stays last", "https://h/p#top", {{"a", "1"}}, "https://h/p?a=1#top"},
      {"no items", "https://h/p?x", {}, "https://h/p?x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(appendQuery(c.url, c.items), c.out);
  }
}

TEST(HttpHeadersTest, LookupIgnoresCaseAndKeepsRepeatedFieldsInOrder) {
  HttpHeaders h{{"Set-Cookie", "a=1"}, {"Content-Type", "text/plain"}, {"set-cookie", "b=2"}};
  EXPECT_EQ(h.value("SET-COOKIE"), "a=1");
  EXPECT_EQ(h.values("Set-Cookie"), (std::vector<std::string>{"a=1", "b=2"}));
  EXPECT_EQ(h.joined("set-cookie"), "a=1, b=2");
  EXPECT_EQ(h.joined("X-Absent"), std::nullopt);
  EXPECT_EQ(h.value("X-Absent"), std::nullopt);
  EXPECT_TRUE(h.contains("content-TYPE"));
}

TEST(HttpHeadersTest, SetReplacesEveryFieldOfTheNameAtTheFirstPlace) {
  HttpHeaders h{{"A", "1"}, {"Cookie", "old1"}, {"B", "2"}, {"cookie", "old2"}};
  h.set("COOKIE", "new");
  EXPECT_EQ(h.fields(), (std::vector<HttpHeaders::Field>{{"A", "1"}, {"COOKIE", "new"}, {"B", "2"}}));
  h.set("C", "3");
  EXPECT_EQ(h.fields().back(), (HttpHeaders::Field{"C", "3"}));
  h.remove("cookie");
  EXPECT_FALSE(h.contains("Cookie"));
  EXPECT_EQ(h.size(), 3u);
}

TEST(HttpErrorTest, EveryCodeHasOneFixedDescriptionInTheUrlDomain) {
  const UrlError codes[] = {UrlError::Cancelled,           UrlError::TimedOut,
                            UrlError::CannotFindHost,      UrlError::CannotConnectToHost,
                            UrlError::NetworkConnectionLost, UrlError::NotConnectedToInternet,
                            UrlError::ServerCertificateUntrusted,
                            UrlError::SecureConnectionFailed, UrlError::BadServerResponse,
                            UrlError::DataLengthExceedsMaximum};
  std::set<std::string_view> texts;
  for (auto code : codes) {
    Error e = makeUrlError(code);
    EXPECT_EQ(e.domain, "NSURLErrorDomain");
    EXPECT_EQ(e.code, static_cast<std::int64_t>(code));
    EXPECT_EQ(e.message, urlErrorDescription(code));
    EXPECT_FALSE(e.message.empty());
    texts.insert(urlErrorDescription(code));
  }
  EXPECT_EQ(texts.size(), std::size(codes)) << "two codes share a description";
  EXPECT_EQ(static_cast<std::int64_t>(UrlError::Cancelled), -999);
  EXPECT_EQ(static_cast<std::int64_t>(UrlError::NotConnectedToInternet), -1009);
  EXPECT_EQ(static_cast<std::int64_t>(UrlError::ServerCertificateUntrusted), -1202);
  EXPECT_EQ(static_cast<std::int64_t>(UrlError::DataLengthExceedsMaximum), -1103);
  EXPECT_TRUE(isCancellation(makeUrlError(UrlError::Cancelled)));
  EXPECT_FALSE(isCancellation(makeUrlError(UrlError::TimedOut)));
}

}  // namespace
}  // namespace vandrel::platform
