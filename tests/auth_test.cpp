// Request signing against the exchange's published examples, and loading credentials.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "Core/auth/credentials.hpp"
#include "Core/auth/signature.hpp"

namespace {

constexpr const char* kSecret = "chNOOS4KvNXR_Xq4k4c9qsfoKWvnDecLATCRlcBwyKDYnWgO";

struct Signed {
  const char* verb;
  const char* path;
  long long expires;
  const char* body;
  const char* expected;
};

class PublishedSignature : public testing::TestWithParam<Signed> {};

TEST_P(PublishedSignature, Matches) {
  const Signed& c = GetParam();
  EXPECT_EQ(auth::signature(kSecret, c.verb, c.path, c.expires, c.body), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Exchange, PublishedSignature,
    testing::Values(
        Signed{"GET", "/api/v1/instrument", 1518064236, "",
               "c7682d435d0cfe87c16098df34ef2eb5a549d4c5a3c2b1f0f77b8af73423bf00"},
        Signed{"GET", "/api/v1/instrument?filter=%7B%22symbol%22%3A+%22XBTM15%22%7D", 1518064237,
               "", "e2f422547eecb5b3cb29ade2127e21b858b235b386bfa45e1c1756eb3383919f"},
        Signed{
            "POST", "/api/v1/order", 1518064238,
            R"({"symbol":"XBTM15","price":219.0,"clOrdID":"mm_bitmex_1a/oemUeQ4CAJZgP3fjHsA","orderQty":98})",
            "1749cd2ccae4aa49048ae09f0b95110cee706e0944e6a14ad0b3a8cb45bd336b"}));

TEST(SameSignature, ComparesWholeTexts) {
  EXPECT_TRUE(auth::same_signature("ab12", "ab12"));
  EXPECT_FALSE(auth::same_signature("ab12", "ab13"));
  EXPECT_FALSE(auth::same_signature("ab12", "ab1"));
}

class CredentialsFile : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("BITMEX_API_KEY");
    unsetenv("BITMEX_API_SECRET");
  }
  std::filesystem::path write(const std::string& text, std::filesystem::perms perms) {
    std::ofstream(path_) << text;
    std::filesystem::permissions(path_, perms);
    return path_;
  }
  std::filesystem::path path_ =
      std::filesystem::temp_directory_path() / ("stoploss_credentials_" + std::to_string(getpid()));
  void TearDown() override { std::filesystem::remove(path_); }
};

TEST_F(CredentialsFile, ReadsKeyAndSecretFromAnOwnerOnlyFile) {
  const auto file = write("KEY123\n secret-456 \n",
                          std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  const auto credentials = auth::load_credentials(file);
  ASSERT_TRUE(credentials);
  EXPECT_EQ(credentials->key, "KEY123");
  EXPECT_EQ(credentials->secret, "secret-456");
}

TEST_F(CredentialsFile, RefusesFilesOthersCanReadWithoutShowingTheSecret) {
  const auto file = write("KEY123\nvery-secret\n",
                          std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
  try {
    auth::load_credentials(file);
    FAIL() << "accepted a group-readable file";
  } catch (const auth::CredentialsError& error) {
    EXPECT_EQ(std::string(error.what()).find("very-secret"), std::string::npos);
  }
}

// Where the credentials come from: an explicit file wins over the environment, and whatever
// is incomplete, empty or not a credentials file is refused rather than half used.
TEST_F(CredentialsFile, TakeTheExplicitFileFirstAndRefuseWhatIsIncomplete) {
  struct Case {
    const char* what;
    const char* env_key;     // nullptr: unset
    const char* env_secret;  // nullptr: unset
    const char* file;        // nullptr: no --credentials; "" : a file that does not exist
    const char* key;         // the key taken; nullptr: none; "refused": CredentialsError
  };
  const Case cases[] = {
      {"nothing given", nullptr, nullptr, nullptr, nullptr},
      {"the environment", "env-key", "s", nullptr, "env-key"},
      {"the file wins over the environment", "env-key", "s", "file-key\nsecret\n", "file-key"},
      {"a bad file is refused whatever the environment", "env-key", "s", "only-a-key\n", "refused"},
      {"a missing file", nullptr, nullptr, "", "refused"},
      {"half-set environment", "env-key", nullptr, nullptr, "refused"},
      {"empty key", "", "s", nullptr, "refused"},
      {"empty secret", "env-key", "", nullptr, "refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.env_key ? setenv("BITMEX_API_KEY", c.env_key, 1) : unsetenv("BITMEX_API_KEY");
    c.env_secret ? setenv("BITMEX_API_SECRET", c.env_secret, 1) : unsetenv("BITMEX_API_SECRET");
    std::filesystem::remove(path_);
    if (c.file && *c.file) write(c.file, std::filesystem::perms::owner_read);
    const std::optional<std::filesystem::path> file = c.file ? std::optional(path_) : std::nullopt;
    try {
      const auto credentials = auth::load_credentials(file);
      EXPECT_EQ(credentials ? credentials->key : "none", c.key ? c.key : "none");
    } catch (const auth::CredentialsError&) {
      EXPECT_STREQ("refused", c.key);
    }
  }
}

TEST_F(CredentialsFile, RefusesWhatIsNoCredentialsFile) {
  write(std::string(1 << 20, 'k') + "\nsecret\n", std::filesystem::perms::owner_read);
  EXPECT_THROW(auth::load_credentials(path_), auth::CredentialsError);
  EXPECT_THROW(auth::load_credentials("/dev/zero"), auth::CredentialsError);
}

}  // namespace
