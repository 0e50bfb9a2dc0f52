// The configuration directory and the site registry: defaults applied to
// the session, plugin selection and the list of supported plugins.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/messages.h"
#include "http/session.h"
#include "script/script_engine.h"
#include "support/capture.h"
#include "support/fake_transport.h"

namespace {

// Points HOME at a fresh folder for the test and puts it back afterwards.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { homeVar.set("HOME", home.path().c_str()); }
  void TearDown() override {
    homeVar.restore();
    setDisplayMode(nullptr);
  }

  void writeRegistry(const std::string& text) const { home.write(".tovelcnf/tovel.ini", text); }

  // selectPlugin(target) with standard output captured into *out.
  static int select(ScriptEngine& engine, const char* target, std::string* out) {
    StdoutCapture capture;
    int code = engine.selectPlugin(target).code();
    *out = capture.finish();
    return code;
  }

  std::string configFolder() const { return home.path() + "/.tovelcnf/"; }

  TempDir home;
  // No test here reaches the network.
  FakeTransport net;

 private:
  ScopedEnv homeVar;
};

// `base` (ending in "/") extended by folder names to exactly `length`
// characters; no name longer than the file system allows.
std::string padPath(const std::string& base, size_t length) {
  std::string path = base;
  while (path.size() < length) {
    size_t room = length - path.size();
    path += room > 201 ? std::string(200, 'h') + "/" : std::string(room, 'h');
  }
  return path;
}

const char kListBanner[] = "============[Support Plugin]============\n";
const char kListEnd[] = "========================================\n";

TEST_F(RegistryTest, ConfigDirectoryComesFromHome) {
  EXPECT_EQ(home.path() + "/.tovelcnf/", configFolderFromHome().data());
  unsetenv("HOME");
  EXPECT_STREQ("/home/root/.tovelcnf/", configFolderFromHome().data());
}

TEST_F(RegistryTest, MissingRegistryGives207Silently) {
  ScriptEngine engine(net, configFolder().c_str());
  std::string out;
  EXPECT_EQ(207, select(engine, "http://a/", &out));
  EXPECT_EQ("", out);
  EXPECT_EQ(nullptr, engine.pluginName.data());
}

TEST_F(RegistryTest, SettingsApplyInFileOrderAndLeaveDefaultsOtherwise) {
  {
    writeRegistry("@plugin=site\n");
    ScriptEngine engine(net, configFolder().c_str());
    std::string out;
    EXPECT_EQ(0, select(engine, "http://site/x", &out));
    EXPECT_EQ("", out);
    EXPECT_EQ(30, engine.session.settings().timeoutSeconds);
    EXPECT_EQ(80, engine.session.settings().port);
    EXPECT_TRUE(engine.session.settings().tlsVerify);
    const SessionSettings& settings = engine.session.settings();
    for (const TextBuffer* text :
         {&settings.userAgent, &settings.proxy, &settings.user, &settings.password}) {
      EXPECT_EQ(nullptr, text->data());
    }
  }
  writeRegistry(
      "#= comment @timeout=1\n"
      "@timeout=5\n"
      "@port=8080\r\n"
      "@useragent=Agent/1.0 (x=y)@=>kept\n"
      "@proxy=10.0.0.1\n"
      "@user=me\n"
      "@pass=secret\n"
      "@tlsverify=0\n"
      "@TIMEOUT=9\n"
      " @port=9\n"
      "@timeout\n"
      "@plugin=site\n"
      "@timeout=7\n");
  ScriptEngine engine(net, configFolder().c_str());
  std::string out;
  EXPECT_EQ(0, select(engine, "http://site/x", &out));
  EXPECT_EQ(7, engine.session.settings().timeoutSeconds);
  EXPECT_EQ(8080, engine.session.settings().port);
  // The registry keeps "@=>" in its values.
  EXPECT_STREQ("Agent/1.0 (x=y)@=>kept", engine.session.settings().userAgent.data());
  EXPECT_STREQ("10.0.0.1", engine.session.settings().proxy.data());
  EXPECT_STREQ("me", engine.session.settings().user.data());
  EXPECT_STREQ("secret", engine.session.settings().password.data());
  EXPECT_FALSE(engine.session.settings().tlsVerify);
  EXPECT_STREQ("site", engine.pluginName.data());
}

TEST_F(RegistryTest, NumbersConvertLikeStrtolHeldTo32Bits) {
  writeRegistry("@timeout= -12abc\n@port=abc\n@plugin=x\n");
  {
    ScriptEngine engine(net, configFolder().c_str());
    std::string out;
    select(engine, "x", &out);
    EXPECT_EQ(-12, engine.session.settings().timeoutSeconds);
    EXPECT_EQ(0, engine.session.settings().port);
  }
  writeRegistry("@timeout=99999999999\n@port=-99999999999\n@plugin=x\n");
  ScriptEngine engine(net, configFolder().c_str());
  std::string out;
  select(engine, "x", &out);
  EXPECT_EQ(INT32_MAX, engine.session.settings().timeoutSeconds);
  EXPECT_EQ(INT32_MIN, engine.session.settings().port);
}

TEST_F(RegistryTest, LastMatchingPatternWins) {
  writeRegistry("@plugin=http\n@plugin=demotube\n@plugin=nomatch\n");
  {
    ScriptEngine engine(net, configFolder().c_str());
    std::string out;
    EXPECT_EQ(0, select(engine, "http://host/demotube/watch/1", &out));
    EXPECT_STREQ("demotube", engine.pluginName.data());
  }
  {
    ScriptEngine engine(net, configFolder().c_str());
    std::string out;
    EXPECT_EQ(0, select(engine, "http://host/other", &out));
    EXPECT_STREQ("http", engine.pluginName.data());
  }
  // Matching is exact and case-sensitive.
  ScriptEngine engine(net, configFolder().c_str());
  std::string out;
  EXPECT_EQ(208, select(engine, "HTTP://HOST/DEMOTUBE", &out));
}

TEST_F(RegistryTest, EmptyPatternMatchesEveryTarget) {
  writeRegistry("@plugin=zzz\n@plugin=\n");
  ScriptEngine engine(net, configFolder().c_str());
  std::string out;
  EXPECT_EQ(0, select(engine, "anything", &out));
  EXPECT_EQ("", out);
  EXPECT_TRUE(engine.pluginName.data() == nullptr || engine.pluginName.data()[0] == '\0');
}

TEST_F(RegistryTest, NoMatchPrintsEveryPluginInFileOrderWithDuplicates) {
  writeRegistry(
      "@timeout=5\n@plugin=beta\n#= @plugin=hidden\n@plugin=alpha\n@plugin=beta\n"
      "@plugin=\n@plugin=a@=>b\n");
  ScriptEngine engine(net, configFolder().c_str());
  std::string out;
  EXPECT_EQ(208, select(engine, nullptr, &out));
  EXPECT_EQ(std::string(kListBanner) + ">beta\n>alpha\n>beta\n>\n>a@=>b\n" + kListEnd, out);
  EXPECT_EQ(nullptr, engine.pluginName.data());

  // A registry without plugins prints an empty list.
  writeRegistry("@timeout=5\n");
  ScriptEngine other(net, configFolder().c_str());
  EXPECT_EQ(208, select(other, "http://a/", &out));
  EXPECT_EQ(std::string(kListBanner) + kListEnd, out);
}

TEST_F(RegistryTest, LongRegistryLinesAreReadInPieces) {
  // The first 1023 characters are one line; the rest is classified alone.
  std::string longLine = "@plugin=" + std::string(1015, 'x') + "@plugin=abc\n";
  writeRegistry(longLine);
  {
    ScriptEngine engine(net, configFolder().c_str());
    std::string out;
    EXPECT_EQ(0, select(engine, "abc", &out));
    EXPECT_STREQ("abc", engine.pluginName.data());
  }
  ScriptEngine engine(net, configFolder().c_str());
  std::string out;
  EXPECT_EQ(208, select(engine, nullptr, &out));
  EXPECT_EQ(std::string(kListBanner) + ">" + std::string(1015, 'x') + "\n>abc\n" + kListEnd, out);
}

TEST_F(RegistryTest, ConfigPathOf511CharactersIsTheLimit) {
  // HOME + "/.tovelcnf/" composed in 512 bytes: 511 characters fit.
  std::string base = home.path() + "/";
  std::string fits = padPath(base, 500);
  ASSERT_EQ(500u, fits.size());
  std::string tooLong = fits + "h";
  for (const std::string& dir : {fits, tooLong}) {
    std::string relative = dir.substr(base.size());
    home.write(relative + "/.tovelcnf/tovel.ini", "@plugin=site\n");
  }

  setenv("HOME", fits.c_str(), 1);
  {
    ScriptEngine engine(net, configFolderFromHome().data());
    EXPECT_EQ(511u, strlen(engine.configDir.data()));
    std::string out;
    EXPECT_EQ(0, select(engine, "site", &out));
  }
  setenv("HOME", tooLong.c_str(), 1);
  ScriptEngine engine(net, configFolderFromHome().data());
  std::string out;
  EXPECT_EQ(207, select(engine, "site", &out));
  EXPECT_EQ("", out);
  EXPECT_EQ(207, engine.runScript("site", nullptr).code());
}

}  // namespace
