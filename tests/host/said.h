// The installer's lines, each written once: the host tests build their
// expected transcripts from these, so that a changed or new line is one edit
// here. Codes are given as printed ("0x431").
#pragma once

#include <string>

namespace Said {

const std::string NotElevated = "Not running with elevated permissions. Aborting.";
const std::string TokenNotOpened = "OpenProcessToken() failed.";
const std::string ManagerUnavailable = "Failed to open Service Configuration Manager. Aborting.";
const std::string Creating = "Creating service...";
const std::string Created = "quendarix service has been created.";
const std::string Started = "quendarix service has been started.";
const std::string OpenFailed = "Failed to open service.";
const std::string Deleted = "Deleted quendarix service.";

inline std::string Argv0(const std::string& argv0) { return "argv[0] = " + argv0; }
inline std::string Found(const std::string& path) { return "Found executable at " + path; }
inline std::string NotFound(const std::string& path)
{
    return "Did not find quendarixservice executable at " + path + ". Aborting.";
}
inline std::string Status(const std::string& state, const std::string& code)
{
    return "Service status = " + state + " (" + code + ")";
}
inline std::string CreateFailed(const std::string& code) { return "Failed to create service. Error: " + code; }
inline std::string DescribeFailed(const std::string& code) { return "Failed to set service description. Err=" + code; }
inline std::string QueryFailed(const std::string& code) { return "Failed to query service status. Err = " + code; }
inline std::string StartFailed(const std::string& code) { return "Failed to start service. Error: " + code; }
inline std::string StopFailed(const std::string& code) { return "Failed to stop service. Err=" + code; }
inline std::string DeleteFailed(const std::string& code) { return "Failed to delete quendarix service. Err = " + code; }

const std::string Keep = " Keep the service where only administrators can change it.";
inline std::string CanChange(const std::string& account, const std::string& path)
{
    return "Warning: " + account + " can change " + path + "." + Keep;
}
inline std::string CanChangeUnelevated(const std::string& account, const std::string& path)
{
    return "Warning: " + account + " can change " + path + " without elevation." + Keep;
}
inline std::string CannotTell(const std::string& path) { return "Warning: cannot tell who may change " + path + "." + Keep; }
inline std::string OnShare(const std::string& path)
{
    return "Warning: " + path +
           " is on a network share: the service may not start at boot, and whoever controls the share can replace "
           "it. Keep the service on a local disk.";
}

}  // namespace Said
