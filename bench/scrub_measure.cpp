// How well the log scrubber does on realistic lines: "seeded" plants private items of every kind
// in log lines and counts those that are still readable afterwards; "clean FILE..." reads real
// logs that hold nothing private and counts the lines the scrubber changed anyway.

#include "platform/logscrubber.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

ScrubIdentity seededIdentity()
{
    ScrubIdentity identity;
    identity.home = "/home/mlopez";
    identity.addName("mlopez", false);
    identity.addName("Maria Lopez", false);
    identity.addName("mlopez-thinkpad", true);
    return identity;
}

struct Seed {
    std::string line;
    std::vector<std::string> secrets; // none of these may be left
};

std::vector<Seed> seeds()
{
    std::vector<Seed> all;
    for (int i = 0; i < 20; ++i) {
        const std::string n = std::to_string(i);
        const std::string t = "2026-12-09 14:" + std::to_string(10 + i) + ":0" + std::to_string(i % 10) + ".123 ";
        all.push_back({t + "[info] loading /home/mlopez/.config/viewer/settings" + n + ".json", {"/home/mlopez"}});
        all.push_back({t + "[debug] session for mlopez restored (" + n + " tabs)", {"mlopez"}});
        all.push_back({t + "[info] signed in as Maria Lopez <maria.lopez" + n + "@example.org>",
                       {"Maria Lopez", "maria.lopez" + n}});
        all.push_back({t + "[warn] mlopez-thinkpad: clock skew " + n + " ms", {"mlopez-thinkpad"}});
        all.push_back({t + "[info] sync peer 192.168." + n + ".17:7000 connected", {"192.168." + n + ".17"}});
        all.push_back({t + "[info] listening on [2001:db8:" + n + "::42]:8443", {"2001:db8:" + n + "::42"}});
        all.push_back({t + "[debug] fetch https://svc_user" + n + ":pa55w0rd" + n + "@files.example.com/v2/blob",
                       {"svc_user" + n, "pa55w0rd" + n}});
        all.push_back({t + "[debug] connect db host=db.internal user=app password=Tr0ub4dor" + n + " sslmode=require",
                       {"Tr0ub4dor" + n}});
        all.push_back({t + "[debug] request {\"api_key\": \"AKIA" + n + "XYZQWERTY\", \"region\": \"eu-west-1\"}",
                       {"AKIA" + n + "XYZQWERTY"}});
        all.push_back({t + "[trace] > Authorization: Basic dXNlcjpwYXNzd29yZA" + n + "==", {"dXNlcjpwYXNzd29yZA" + n}});
        all.push_back({t + "[trace] upload with Bearer ya29.a0Af" + n + "Hk-9xQ_token.sig",
                       {"ya29.a0Af" + n + "Hk-9xQ_token.sig"}});
        all.push_back(
            {t + "[debug] oauth refresh_token: 1//0g" + n + "RtYpLmN, expires_in: 3599", {"1//0g" + n + "RtYpLmN"}});
        all.push_back({t + "[debug] S3 access_key=K" + n + "J7QW9PL secret=vS8e" + n + "x/Qk2",
                       {"K" + n + "J7QW9PL", "vS8e" + n + "x/Qk2"}});
        all.push_back({t + "[debug] env PWD_HINT=0 passwd='c0rrect horse " + n + "'", {"c0rrect horse " + n}});
        all.push_back({t + "[info] mail from noreply" + n + "@mail.example.net to ops@example.com",
                       {"noreply" + n + "@", "ops@example.com"}});
    }
    return all;
}

int seeded()
{
    const LogScrubber scrubber(seededIdentity());
    std::size_t items = 0, left = 0, replacements = 0;
    for (const Seed& seed : seeds()) {
        std::string out;
        const std::string line = seed.line + "\n";
        replacements += scrubber.scrubLine(line.data(), line.size(), out);
        for (const std::string& secret : seed.secrets) {
            ++items;
            if (out.find(secret) != std::string::npos) {
                ++left;
                std::printf("LEFT %s\n  in: %s", secret.c_str(), out.c_str());
            }
        }
    }
    std::printf("seeded private items: %zu in %zu lines; replaced: %zu; left readable: %zu; replacements made: %zu\n",
                items, seeds().size(), items - left, left, replacements);
    return left == 0 ? 0 : 1;
}

int clean(int count, char** files)
{
    const ScrubIdentity identities[] = {ScrubIdentity::ofThisProcess(), seededIdentity()};
    const char* names[] = {"this process's identity", "the seeded identity"};
    for (int k = 0; k < 2; ++k) {
        const LogScrubber scrubber(identities[k]);
        std::size_t allLines = 0, allChanged = 0;
        for (int f = 0; f < count; ++f) {
            std::ifstream in(files[f], std::ios::binary);
            std::string line;
            std::size_t lines = 0, changed = 0;
            while (std::getline(in, line)) {
                line += '\n';
                std::string out;
                ++lines;
                if (scrubber.scrubLine(line.data(), line.size(), out) > 0) {
                    ++changed;
                    if (changed <= 5)
                        std::printf("  changed: %s  ->      %s", line.c_str(), out.c_str());
                }
            }
            std::printf("%s (%s): %zu of %zu lines changed (%.3f %%)\n", files[f], names[k], changed, lines,
                        lines ? 100.0 * changed / lines : 0.0);
            allLines += lines;
            allChanged += changed;
        }
        std::printf("all (%s): %zu of %zu lines changed (%.3f %%)\n", names[k], allChanged, allLines,
                    allLines ? 100.0 * allChanged / allLines : 0.0);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "seeded") == 0)
        return seeded();
    if (argc >= 3 && std::strcmp(argv[1], "clean") == 0)
        return clean(argc - 2, argv + 2);
    std::fprintf(stderr, "usage: scrub_measure seeded | clean LOG...\n");
    return 2;
}
