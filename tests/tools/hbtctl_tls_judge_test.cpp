// Runs the real hbtctl tls-judge on captured OpenSSL hellos, with preferences
// stored in a temporary XDG_CONFIG_HOME.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/file_settings_store.h"
#include "rules/preferences_storage.h"
#include "tests/tls_inspect/hello_builder.h"
#include "tests/tls_inspect/openssl_hellos.h"
#include "tests/tools/hbtctl_runner.h"
#include "tls_inspect/cipher_suite_catalogue.h"

namespace hbt {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::HbtctlRun;

class HbtctlTlsJudge : public test::HbtctlHomeTest {
protected:
    // Stores the defaults in Strict Mode with `allowed` as the version list.
    void StoreStrictVersions(std::vector<uint16_t> allowed) {
        FileSettingsStore store(SettingsFile());
        Preferences preferences;
        LoadPreferences(store, preferences);
        preferences.allowInsecureIfNoHttps = false;
        preferences.allowedSslVersions = std::move(allowed);
        ASSERT_TRUE(SavePreferences(store, preferences));
    }

    std::string WriteFile(const std::string& name, const std::string& content) const {
        const fs::path path = home_ / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }

    HbtctlRun Judge(const std::vector<std::string>& args) const {
        std::vector<std::string> command{"tls-judge"};
        command.insert(command.end(), args.begin(), args.end());
        return Run(command);
    }
};

// Hex as a capture tool copies it: line breaks and blanks in odd places.
std::string CaptureHex(const Bytes& bytes) {
    std::string hex = test::Hex(bytes);
    for (std::size_t i = 47; i < hex.size(); i += 48) hex[i] = '\n';
    return hex + "\n";
}

TEST_F(HbtctlTlsJudge, ReleasesAnAllowedHandshakeAndShowsWhy) {
    const test::CapturedHellos hellos = test::CaptureHellos({TLS1_2_VERSION, TLS1_2_VERSION, "judge.example", ""});
    char suite[8];
    std::snprintf(suite, sizeof suite, "%04X", hellos.cipherSuite);
    const HbtctlRun result = Judge({"--client", WriteFile("c.hex", CaptureHex(hellos.clientFlight)), "--server",
                                    WriteFile("s.hex", CaptureHex(hellos.serverFlight))});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "tls-judge (judge.example) (TLS 1.2, cipher suite 0x" + std::string(suite) + " " +
                              CipherSuiteName(hellos.cipherSuite) + ")\nverdict: bypass\n");
}

TEST_F(HbtctlTlsJudge, BlockShowsTheRefusalBytes) {
    StoreStrictVersions({0x0304});
    const test::CapturedHellos hellos = test::CaptureHellos({TLS1_VERSION, TLS1_2_VERSION, "", ""});
    const std::string client(hellos.clientFlight.begin(), hellos.clientFlight.end());
    const HbtctlRun result = Judge({"--raw", "--client", WriteFile("c.bin", client)});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out,
              "tls-judge (block: insecure TLS 1.2 (TLS 1.1, TLS 1.0, SSL 3))\nverdict: block 15 03 01 00 02 02 28\n");
}

TEST_F(HbtctlTlsJudge, IncompleteHelloKeepsInspectingAndBadInputIsRefused) {
    const Bytes hello = test::ClientHello(0x0303, {0x1301}, {test::SupportedVersions({0x0304})});
    const Bytes part(hello.begin(), hello.begin() + 20);
    EXPECT_EQ(Judge({"--client", WriteFile("part.hex", test::Hex(part))}).out, "verdict: inspecting\n");

    const HbtctlRun notHex = Judge({"--client", WriteFile("bad.hex", "16 03 0g")});
    EXPECT_EQ(notHex.status, 1);
    EXPECT_EQ(notHex.out, "");
    EXPECT_EQ(Judge({"--client", WriteFile("odd.hex", "16 0")}).status, 1);
    EXPECT_EQ(Judge({"--client", (home_ / "missing.hex").string()}).status, 1);
    EXPECT_EQ(Judge({}).status, 2);
    EXPECT_EQ(Judge({"--client"}).status, 2);
}

}  // namespace
}  // namespace hbt
