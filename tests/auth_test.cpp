// Request signing against the exchange's published examples, and loading credentials.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "exchange/auth/credentials.hpp"
#include "exchange/auth/signature.hpp"
#include "row_name.hpp"

namespace {

namespace fs = std::filesystem;

TEST(Auth, SignaturesMatchTheExchangesPublishedExamples) {
  constexpr const char* kSecret = "chNOOS4KvNXR_Xq4k4c9qsfoKWvnDecLATCRlcBwyKDYnWgO";
  const struct {
    const char *verb, *path;
    long long expires;
    const char *body, *expected;
  } cases[] = {
      {"GET", "/api/v1/instrument", 1518064236, "",
       "c7682d435d0cfe87c16098df34ef2eb5a549d4c5a3c2b1f0f77b8af73423bf00"},
      {"GET", "/api/v1/instrument?filter=%7B%22symbol%22%3A+%22XBTM15%22%7D", 1518064237, "",
       "e2f422547eecb5b3cb29ade2127e21b858b235b386bfa45e1c1756eb3383919f"},
      {"POST", "/api/v1/order", 1518064238,
       R"({"symbol":"XBTM15","price":219.0,"clOrdID":"mm_bitmex_1a/oemUeQ4CAJZgP3fjHsA","orderQty":98})",
       "1749cd2ccae4aa49048ae09f0b95110cee706e0944e6a14ad0b3a8cb45bd336b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(auth::signature(kSecret, c.verb, c.path, c.expires, c.body), c.expected) << c.path;
  }
  EXPECT_FALSE(auth::same_signature("ab12", "ab1"));  // a prefix is no match
  EXPECT_FALSE(auth::same_signature("ab1", "ab12"));
}

// Where the credentials come from: an explicit file wins over the environment, and whatever
// is incomplete, empty, readable by others or not a credentials file is refused rather than
// half used, and without showing the secret.
struct CredentialsCase {
  const char* what;
  const char* env_key;     // nullptr: unset
  const char* env_secret;  // nullptr: unset
  std::string file;        // "-": no file given; "": one that does not exist
  const char* taken;       // "key/secret", "none" or "refused"
  bool shared = false;     // the file is readable by its group
};
const CredentialsCase kCredentials[] = {
    {"nothing given", nullptr, nullptr, "-", "none"},
    {"the environment", "env-key", "hush", "-", "env-key/hush"},
    {"the file, trimmed, wins over the environment", "env-key", "hush", "file-key\n hush-2 \n",
     "file-key/hush-2"},
    {"a file others can read", nullptr, nullptr, "file-key\nhush-2\n", "refused", true},
    {"a file without a secret, whatever the environment", "env-key", "hush", "only-a-key\n",
     "refused"},
    {"a missing file", nullptr, nullptr, "", "refused"},
    {"a file of one huge line", nullptr, nullptr, std::string(1 << 20, 'k') + "\nhush\n",
     "refused"},
    {"half-set environment", "env-key", nullptr, "-", "refused"},
    {"empty key", "", "hush", "-", "refused"},
};

class Credentials : public testing::TestWithParam<CredentialsCase> {};

TEST_P(Credentials, TakeTheExplicitFileFirstAndRefuseWhatIsIncomplete) {
  const CredentialsCase& c = GetParam();
  const fs::path path = fs::temp_directory_path() / ("credentials_" + std::to_string(getpid()));
  c.env_key ? setenv("BITMEX_API_KEY", c.env_key, 1) : unsetenv("BITMEX_API_KEY");
  c.env_secret ? setenv("BITMEX_API_SECRET", c.env_secret, 1) : unsetenv("BITMEX_API_SECRET");
  fs::remove(path);
  if (!c.file.empty() && c.file != "-") {
    std::ofstream(path) << c.file;
    fs::permissions(path,
                    fs::perms::owner_read | (c.shared ? fs::perms::group_read : fs::perms::none));
  }
  try {
    const auto credentials =
        auth::load_credentials(c.file == "-" ? std::nullopt : std::optional(path));
    EXPECT_EQ(credentials ? credentials->key + "/" + credentials->secret : "none", c.taken);
  } catch (const auth::CredentialsError& refused) {
    EXPECT_STREQ(c.taken, "refused");
    EXPECT_EQ(std::string(refused.what()).find("hush"), std::string::npos) << refused.what();
  }
  fs::remove(path);
}
INSTANTIATE_TEST_SUITE_P(Auth, Credentials, testing::ValuesIn(kCredentials),
                         row_names(kCredentials, &CredentialsCase::what));

}  // namespace
