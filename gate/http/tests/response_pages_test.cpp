#include "tokengate/gate/response_pages.h"

#include <gtest/gtest.h>

#include "tokengate/gate/testing/test_host.h"

namespace tokengate::gate {
namespace {

using testing::TestHost;
using testing::TestRequest;

std::string Join(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view p : parts) {
    out += p;
  }
  return out;
}

// The page, written out fragment by fragment.
std::string ExpectedPage(std::string_view title, std::string_view header,
                         std::string_view message) {
  return Join({"<html>",
               "<head>",
               title,
               "<style type=\"text/css\">",
               "body.firstcut",
               "{",
               "font-family: Tahoma, Helvetica, Arial, sans-serif;",
               "font-size: 12px;",
               "background: #ffffff;",
               "}",
               "table.firstcut",
               "{",
               "padding: 12px;",
               "margin: 0px;",
               "background: #eeeeee;",
               "border: double;",
               "border-color: #ff0000;",
               "}",
               "td.header",
               "{",
               "font-size: 18px;",
               "font-weight: bold;",
               "color: #ff0000;",
               "text-align: center;",
               "}",
               "td.message",
               "{",
               "font-size: 16px;",
               "padding: 8px;",
               "text-align: center;",
               "}",
               "td.text",
               "{",
               "font-size: 14px;",
               "padding: 4px;",
               "text-align: left;",
               "}",
               "td.errorinfo",
               "{",
               "font-size: 16px;",
               "padding: 10px;",
               "text-align: left;",
               "}",
               "</style>",
               "<meta name=\"robots\" content=\"noindex, nofollow\" />",
               "</head>",
               "<body class=\"firstcut\">",
               "<center>",
               "<table width=\"400\" class=\"firstcut\">",
               "<tr>",
               header,
               "</tr>",
               "<tr>",
               "<td class=\"message\">",
               message,
               "</td>",
               "</tr>",
               "<tr>",
               "<td class=\"text\">",
               "</td>",
               "</tr>",
               "</table>",
               "</center>",
               "</body>",
               "</html>"});
}

std::string ExpectedErrorPage(std::string_view message) {
  return ExpectedPage("<title>Error - Single Sign-On</title>",
                      "<td class=\"header\">Error - Single Sign-On</td>", message);
}

TEST(ResponsePages, PagesAreExactlyTheFixedText) {
  EXPECT_EQ(BuildErrorPage("Tessera is empty"), ExpectedErrorPage("Tessera is empty"));
  EXPECT_EQ(BuildInfoPage(),
            ExpectedPage("<title>Info - Corvane ISAPI Extension</title>",
                         "<td class=\"header\">Info - Corvane ISAPI Extension</td>",
                         "ISAPI Configuration successfully reloaded"));
}

TEST(ResponsePages, InfoPageSetsNoStatusAndNoLogText) {
  TestHost host(TestRequest{});
  InfoPage(host);
  EXPECT_EQ(host.page, BuildInfoPage());
  EXPECT_FALSE(host.status_code.has_value());
  EXPECT_EQ(host.log_data, "");
}

TEST(ErrorResponse, PageOrRedirect) {
  const std::u16string long_message =
      u"Filter context not available, please make sure the ISAPI extension is added to ISAPI "
      u"Filters in IIS.";
  struct Case {
    std::u16string error_url;
    std::u16string message;
    std::uint32_t status;
    std::optional<std::uint32_t> http_status;
    std::string log_data;
    std::string page;
    std::vector<std::string> redirects;
  };
  const Case cases[] = {
      {u"",
       u"Tessera is empty",
       4,
       500,
       "Tessera is empty",
       ExpectedErrorPage("Tessera is empty"),
       {}},
      {u"",
       long_message,
       4,
       500,
       "Internal error, unable to return error message",
       ExpectedErrorPage(
           "Filter context not available, please make sure the ISAPI extension is added to ISAPI "
           "Filters in IIS."),
       {}},
      {u"",
       std::u16string(79, u'm'),
       4,
       500,
       std::string(79, 'm'),
       ExpectedErrorPage(std::string(79, 'm')),
       {}},
      {u"",
       std::u16string(80, u'm'),
       4,
       500,
       "Internal error, unable to return error message",
       ExpectedErrorPage(std::string(80, 'm')),
       {}},
      {u"", u"<b>x</b> & y", 4, 500, "<b>x</b> & y", ExpectedErrorPage("<b>x</b> & y"), {}},
      {u"https://err.example.test/e",
       u"Tessera is empty",
       1,
       std::nullopt,
       "",
       "",
       {"https://err.example.test/e?ErrorMessage=Tessera is empty"}},
      {u"https://err.example.test/e?lang=en",
       u"a&b=c d",
       1,
       std::nullopt,
       "",
       "",
       {"https://err.example.test/e?lang=en&ErrorMessage=a&b=c d"}},
  };
  for (const Case& c : cases) {
    TestHost host(TestRequest{});
    GateSettings settings;
    settings.ErrorUrl = c.error_url;
    EXPECT_EQ(ErrorResponse(host, settings, host.Log(), c.message), c.status);
    EXPECT_EQ(host.status_code, c.http_status);
    EXPECT_EQ(host.log_data, c.log_data);
    EXPECT_EQ(host.page, c.page);
    EXPECT_EQ(host.redirects, c.redirects);
    EXPECT_TRUE(host.Events().empty());
  }
}

TEST(ErrorResponse, FailedPageWriteStillReturnsError) {
  TestHost host(TestRequest{});
  host.fail_write_client = true;
  EXPECT_EQ(ErrorResponse(host, GateSettings{}, host.Log(), u"Tessera is empty"), 4u);
  EXPECT_EQ(host.status_code, 500u);
}

TEST(ErrorResponse, UnsendableErrorUrlFallsBackToThePage) {
  TestHost host(TestRequest{});
  GateSettings settings;
  settings.ErrorUrl = u"https://err.example.test/\r\nX-Evil: 1";
  EXPECT_EQ(ErrorResponse(host, settings, host.Log(), u"Tessera is empty"), 4u);
  EXPECT_TRUE(host.redirects.empty());
  EXPECT_EQ(host.page, ExpectedErrorPage("Tessera is empty"));
  ASSERT_EQ(host.Events().size(), 1u);
  EXPECT_EQ(host.Events()[0].text, kRedirectRefused);
}

TEST(ErrorResponse, PageThatWouldNotFitIsNotSentButLogged) {
  const std::size_t fixed = BuildErrorPage("").size();
  TestHost fits(TestRequest{});
  ErrorResponse(fits, GateSettings{}, fits.Log(), std::u16string(kWorkAreaBytes - 1 - fixed, 'x'));
  EXPECT_EQ(fits.page.size(), kWorkAreaBytes - 1);

  TestHost host(TestRequest{});
  EXPECT_EQ(
      ErrorResponse(host, GateSettings{}, host.Log(), std::u16string(kWorkAreaBytes - fixed, 'x')),
      4u);
  EXPECT_EQ(host.status_code, 500u);
  EXPECT_EQ(host.page, "");
  ASSERT_EQ(host.Events().size(), 1u);
  EXPECT_EQ(host.Events()[0].type, EventType::Error);
  EXPECT_EQ(host.Events()[0].text, kPageTooLarge);
}

TEST(Redirect, SendsSafeTargetsAndRefusesOthers) {
  struct Case {
    std::u16string target;
    std::vector<std::string> redirects;
    std::u16string event;  // empty: no event
  };
  const Case cases[] = {
      {u"https://sso.example.test/x?a=b c", {"https://sso.example.test/x?a=b c"}, u""},
      {u"/caf\u00e9", {"/caf\xe9"}, u""},
      {u"https://a.test/\r\nSet-Cookie: x=1", {}, std::u16string(kRedirectRefused)},
      {u"https://a.test/\nx", {}, std::u16string(kRedirectRefused)},
      {std::u16string(u"https://a.test/\0x", 17), {}, std::u16string(kRedirectRefused)},
      {u"https://a.test/\u20ac", {}, std::u16string(kRedirectRefused)},
      {std::u16string(kWorkAreaBytes - 1, u'a'), {std::string(kWorkAreaBytes - 1, 'a')}, u""},
      {std::u16string(kWorkAreaBytes, u'a'), {}, std::u16string(kRedirectTooLong)},
  };
  for (const Case& c : cases) {
    TestHost host(TestRequest{});
    const std::uint32_t status = Redirect(host, GateSettings{}, host.Log(), c.target);
    EXPECT_EQ(host.redirects, c.redirects);
    if (c.event.empty()) {
      EXPECT_EQ(status, 1u);
      EXPECT_TRUE(host.Events().empty());
    } else {
      EXPECT_EQ(status, 4u);
      ASSERT_EQ(host.Events().size(), 1u);
      EXPECT_EQ(host.Events()[0].type, EventType::Error);
      EXPECT_EQ(host.Events()[0].text, c.event);
      EXPECT_EQ(host.status_code, 500u);
      EXPECT_EQ(host.page, ExpectedErrorPage(std::string(c.event.begin(), c.event.end())));
    }
  }
}

TEST(Redirect, ReturnsSuccessEvenWhenTheServerFailsToSend) {
  TestHost host(TestRequest{});
  host.fail_send_redirect = true;
  EXPECT_EQ(Redirect(host, GateSettings{}, host.Log(), u"https://a.test/"), 1u);
}

TEST(Redirect, RefusedTargetWithErrorUrlRedirectsToTheErrorUrl) {
  TestHost host(TestRequest{});
  GateSettings settings;
  settings.ErrorUrl = u"https://err.test/e";
  EXPECT_EQ(Redirect(host, settings, host.Log(), u"https://a.test/\r\n"), 1u);
  ASSERT_EQ(host.redirects.size(), 1u);
  EXPECT_EQ(host.redirects[0].rfind("https://err.test/e?ErrorMessage=Redirect location refused", 0),
            0u);
}

TEST(IsSafeResumePath, AcceptsOnlyAPathOnTheBase) {
  const std::pair<std::u16string, bool> cases[] = {
      {u"/", true},
      {u"/app/page?x=1", true},
      {u"", false},
      {u"app", false},
      {u"//evil.example/", false},
      {u"@evil.example/", false},
      {u".evil.example/", false},
      {u"/\\evil.example", false},
      {u"/a\r\nb", false},
      {u"/a\tb", false},
      {u"/a\u0085b", false},
      {u"https://evil.example/", false},
  };
  for (const auto& [resume, safe] : cases) {
    EXPECT_EQ(IsSafeResumePath(resume), safe);
  }
}

}  // namespace
}  // namespace tokengate::gate
