#pragma once
// Doubles of the update component's windows (IUpdateWindows), of the update service
// (IUpdateSrv) and of the slot of its application-wide container, for tests that link
// korvalo_update.

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "services/update/dm_update.h"
#include "services/update/update_comp.h"

namespace korvalo::testing {

// Windows that record what they were asked and answer from a script: the splash gives
// splash(args) (verdict 0 unless told), a question gets answer, other boxes OK.
class ScriptedUpdateWindows : public IUpdateWindows {
public:
    std::function<UpdateVerdict(const UpdateSplashArgs&)> splash = [](const UpdateSplashArgs&) {
        return UpdateVerdict{};
    };
    bool answer = true;
    std::vector<UpdateSplashArgs> splashes;
    std::vector<std::string> boxes;  // "caption|text|icon" with icon "-", "error" or "question"

    UpdateVerdict ShowUpdateSplash(const UpdateSplashArgs& args) override {
        splashes.push_back(args);
        return splash(args);
    }
    bool MessageBox(const std::string& text, const std::string& caption, Box box) override {
        boxes.push_back(caption + "|" + text + "|" +
                        (box == Box::Plain   ? "-"
                         : box == Box::Error ? "error"
                                             : "question"));
        return box == Box::Question ? answer : true;
    }
};

// The update service: the download address from a script; every call recorded.
class ScriptedUpdateService : public IUpdateSrv {
public:
    std::string link = "http://vendor.example/get/korvalo 2.0.0.0.tar.gz";
    int errCode = 0;
    std::string errMsg;
    std::vector<std::string> calls;  // "GetDownloadLinkNew(id,message,code)" with the in-values

    int CheckVersion(const std::string&, const std::string&, int, int, std::string&,
                     int&) override {
        calls.push_back("CheckVersion");
        return 0;
    }
    int CheckVersionNew(const std::string&, const std::string&, std::string&, int&) override {
        calls.push_back("CheckVersionNew");
        return 0;
    }
    std::string GetDownloadLink(const std::string&, int, std::string&, int&) override {
        calls.push_back("GetDownloadLink");
        return "";
    }
    std::string GetDownloadLinkNew(const std::string& id, std::string& message,
                                   int& code) override {
        calls.push_back("GetDownloadLinkNew(" + id + "," + message + "," + std::to_string(code) +
                        ")");
        message = errMsg;
        code = errCode;
        return link;
    }
};

// The container slot handing out the scripted service and recording how it was connected.
class ScriptedUpdateSlot : public UpdateModuleSlot {
public:
    std::shared_ptr<ScriptedUpdateService> service = std::make_shared<ScriptedUpdateService>();
    std::vector<std::string> connections;  // "address|proxy|user|password"
    std::string failure;                   // not empty: connecting throws this

    std::shared_ptr<IUpdateSrv> ConnectUpdateService(const std::string& address,
                                                     const std::string& proxy,
                                                     const std::string& user,
                                                     const std::string& password) override {
        Create();
        connections.push_back(address + "|" + proxy + "|" + user + "|" + password);
        if (!failure.empty())
            throw std::runtime_error(failure);
        return service;
    }
};

}  // namespace korvalo::testing
