#include "platform/small_download.h"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <memory>
#include <mutex>

namespace hbt {
namespace {

// What the Windows internet layer answers for a header that is not there, so
// that the texts carry the same number on every system.
constexpr int kHeaderNotFound = 12150;
constexpr std::size_t kLayerTextLimit = 999;

struct CurlDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
template <typename T>
using CurlPtr = std::unique_ptr<T, CurlDeleter>;

struct Transfer {
    CURL* curl;
    const std::string& address;
    const SmallDownloadOptions& options;
    std::string body = {};
    curl_off_t length = -1;
    bool headJudged = false;
    std::string refusal = {};  // why the callbacks ended the transfer
};

bool IsWebAddress(const std::string& address) {
    CurlPtr<CURLU> url(curl_url());
    char* scheme = nullptr;
    if (!url || curl_url_set(url.get(), CURLUPART_URL, address.c_str(), 0) != CURLUE_OK ||
        curl_url_get(url.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) {
        return false;
    }
    const std::string name = scheme;
    curl_free(scheme);
    return name == "http" || name == "https";
}

// The status and the length, in the order they are reported; empty when both allow the body.
std::string JudgeHead(Transfer& transfer) {
    long status = 0;
    if (const CURLcode code = curl_easy_getinfo(transfer.curl, CURLINFO_RESPONSE_CODE, &status); code != CURLE_OK) {
        return "Could not get status code, error = " + std::to_string(code);
    }
    if (status == 404) return "File not found on the server (status 404) " + transfer.address;
    if (status != 200) return "Request failed with HTTP status " + std::to_string(status) + " " + transfer.address;
    if (curl_easy_getinfo(transfer.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &transfer.length) != CURLE_OK ||
        transfer.length < 0) {
        return "Cannot get file length, error = " + std::to_string(kHeaderNotFound);
    }
    if (transfer.length == 0) return "File is empty.";
    if (transfer.length > static_cast<curl_off_t>(kSmallFileLimit)) return "File is too big.";
    return {};
}

// The body arrives only after the head, so the first piece is where the head is judged;
// returning less than was given ends the transfer.
size_t CollectBody(char* data, size_t size, size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    if (!transfer.headJudged) {
        transfer.headJudged = true;
        transfer.refusal = JudgeHead(transfer);
    }
    if (!transfer.refusal.empty()) return 0;
    transfer.body.append(data, size * count);
    return size * count;
}

int CheckCancelled(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto& transfer = *static_cast<Transfer*>(user);
    return transfer.options.cancelled && transfer.options.cancelled() ? 1 : 0;
}

// The system's trust store, as the HTTPS checks use it, in place of a bundle chosen at build time.
CURLcode UseSystemTrustStore(CURL*, void* context, void*) {
    return SSL_CTX_set_default_verify_paths(static_cast<SSL_CTX*>(context)) == 1 ? CURLE_OK : CURLE_SSL_CACERT_BADFILE;
}

std::string LayerErrorText(const char* detail, CURLcode code) {
    std::string text = *detail != '\0' ? detail : curl_easy_strerror(code);
    if (text.size() > kLayerTextLimit) text.resize(kLayerTextLimit);
    const auto first = text.find_first_not_of("\r\n");
    const auto last = text.find_last_not_of("\r\n");
    text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    return text + ".";
}

void SetFreshGet(CURL* curl, curl_slist* headers, const std::string& address, const SmallDownloadOptions& options) {
    curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Harbinet");
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectLimit.count()));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(options.totalLimit.count()));
    curl_easy_setopt(curl, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, UseSystemTrustStore);
}

}  // namespace

bool DownloadSmallFile(const std::string& address, std::string& body, std::string& errorText,
                       const SmallDownloadOptions& options) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    CurlPtr<CURL> curl(curl_easy_init());
    if (!curl || !IsWebAddress(address)) {
        errorText = "Could not open URL " + address;
        return false;
    }
    CurlPtr<curl_slist> headers(curl_slist_append(nullptr, "Cache-Control: no-cache"));
    headers.reset(curl_slist_append(headers.release(), "Pragma: no-cache"));
    SetFreshGet(curl.get(), headers.get(), address, options);

    Transfer transfer{curl.get(), address, options};
    char detail[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, detail);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, CollectBody);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl.get(), CURLOPT_XFERINFOFUNCTION, CheckCancelled);
    curl_easy_setopt(curl.get(), CURLOPT_XFERINFODATA, &transfer);
    const CURLcode code = curl_easy_perform(curl.get());

    if (!transfer.refusal.empty()) {
        errorText = transfer.refusal;
        return false;
    }
    // A head without a body never reached the collector; a body cut short ends in a partial file.
    if (code != CURLE_OK && code != CURLE_PARTIAL_FILE) {
        errorText = LayerErrorText(detail, code);
        return false;
    }
    if (!transfer.headJudged) {
        errorText = JudgeHead(transfer);
        if (!errorText.empty()) return false;
    }
    if (static_cast<curl_off_t>(transfer.body.size()) != transfer.length) {
        errorText = "File length mismatch.";
        return false;
    }
    body = std::move(transfer.body);
    return true;
}

}  // namespace hbt
