// trayline-demo-signin: saves instance settings into the current profile and signs in through the
// real browser flow, so `trayline --mcp` can be used without the tray app. Used by scripts/mcp-demo;
// scripts/demo saves the settings only (--no-sign-in), so the tray app starts at its sign-in prompt.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/auth/sign_in.h"
#include "core/platform/process.h"
#include "core/servicenow/service_now_client.h"
#include "core/settings/config.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "Usage: trayline-demo-signin --instance URL --client-id ID --client-secret SECRET\n"
                 "                            [--group SYS_ID] [--no-sign-in]\n"
                 "Saves the settings in $XDG_CONFIG_HOME/com.brindle.trayline and signs in.\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string instance, clientID, clientSecret, group;
    bool signIn = true;
    for (int i = 1; i < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--no-sign-in") {
            signIn = false;
            --i;
            continue;
        }
        if (i + 1 >= argc)
            return usage();
        if (flag == "--instance")
            instance = argv[i + 1];
        else if (flag == "--client-id")
            clientID = argv[i + 1];
        else if (flag == "--client-secret")
            clientSecret = argv[i + 1];
        else if (flag == "--group")
            group = argv[i + 1];
        else
            return usage();
    }
    if (instance.empty() || clientID.empty() || clientSecret.empty())
        return usage();

    try {
        trayline::Config::setInstanceURL(instance);
        trayline::Config::setClientID(clientID);
        trayline::Config::setClientSecret(clientSecret);
        if (!group.empty())
            trayline::Config::setGroupSysID(group);
        if (!signIn)
            return 0;

        const bool hasDisplay = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
        trayline::SignInFlow flow({[hasDisplay](const std::string& url) {
            std::fprintf(stderr, "Sign in at: %s\n", url.c_str());
            if (hasDisplay)
                trayline::openInBrowser(url);
            else  // no browser here: follow the (auto-approving) consent page's redirect directly
                trayline::spawnDetached({"curl", "-s", "-L", "-o", "/dev/null", url});
        }});
        flow.run();
        const auto me = trayline::ServiceNowClient().currentUser();
        std::fprintf(stderr, "Signed in as %s.\n", me.name.c_str());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Sign-in failed: %s\n", e.what());
        return 1;
    }
}
