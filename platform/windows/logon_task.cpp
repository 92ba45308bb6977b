#include "platform/windows/logon_task.hpp"

#include <windows.h>

#include <taskschd.h>

#include <memory>
#include <optional>

#include "platform/windows/com.hpp"
#include "platform/windows/handle.hpp"
#include "platform/windows/token.hpp"
#include "platform/windows/wide.hpp"

namespace kelvora::platform::win {

namespace {

bool failed(const char* call, HRESULT hr) {
    report_failure(call, static_cast<unsigned long>(hr));
    return false;
}

// The Task Scheduler's root folder on this PC; empty after a log line on failure. The
// apartment must outlive what this returns.
bool root_folder(ComPtr<ITaskService>& service, ComPtr<ITaskFolder>& folder) {
    HRESULT hr = CoCreateInstance(__uuidof(TaskScheduler), nullptr, CLSCTX_INPROC_SERVER,
                                  __uuidof(ITaskService), service.put_void());
    if (FAILED(hr)) return failed("CoCreateInstance(TaskScheduler)", hr);
    VARIANT none;
    VariantInit(&none);
    if (FAILED(hr = service->Connect(none, none, none, none)))
        return failed("ITaskService::Connect", hr);
    Bstr root(L"\\");
    if (FAILED(hr = service->GetFolder(root.get(), folder.put())))
        return failed("ITaskService::GetFolder", hr);
    return true;
}

} // namespace

bool register_logon_task(const wchar_t* name, LogonTask task) {
    const auto sid = current_user_sid();
    if (!sid) return false;
    task.user = *sid;
    const auto xml = logon_task_xml(task);
    if (!xml) return false;
    ComApartment com;
    if (!com.usable()) return failed("CoInitializeEx", com.result());
    ComPtr<ITaskService> service;
    ComPtr<ITaskFolder> folder;
    if (!root_folder(service, folder)) return false;
    Bstr path(name), text(widen(*xml).c_str());
    if (!path || !text) return false;
    VARIANT none;
    VariantInit(&none);
    ComPtr<IRegisteredTask> registered;
    const HRESULT hr =
        folder->RegisterTask(path.get(), text.get(), TASK_CREATE_OR_UPDATE, none, none,
                             TASK_LOGON_INTERACTIVE_TOKEN, none, registered.put());
    return SUCCEEDED(hr) || failed("ITaskFolder::RegisterTask", hr);
}

TaskRemoval delete_logon_task(const wchar_t* name) {
    ComApartment com;
    if (!com.usable()) return TaskRemoval::failed;
    ComPtr<ITaskService> service;
    ComPtr<ITaskFolder> folder;
    if (!root_folder(service, folder)) return TaskRemoval::failed;
    Bstr path(name);
    const HRESULT hr = folder->DeleteTask(path.get(), 0);
    if (SUCCEEDED(hr)) return TaskRemoval::removed;
    if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ||
        hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND))
        return TaskRemoval::absent;
    failed("ITaskFolder::DeleteTask", hr);
    return TaskRemoval::failed;
}

bool logon_task_exists(const wchar_t* name) {
    ComApartment com;
    if (!com.usable()) return false;
    ComPtr<ITaskService> service;
    ComPtr<ITaskFolder> folder;
    if (!root_folder(service, folder)) return false;
    Bstr path(name);
    ComPtr<IRegisteredTask> task;
    return SUCCEEDED(folder->GetTask(path.get(), task.put()));
}

} // namespace kelvora::platform::win
