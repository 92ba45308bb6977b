// The PC's sound on Windows: WASAPI loopback capture of the default render device, in the
// device's own mix format, polled every 10 ms.
#include "platform/audio.hpp"

#include <audioclient.h>
#include <mmdeviceapi.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/report.hpp"
#include "platform/windows/com.hpp"
#include "platform/windows/handle.hpp"
#include "platform/windows/wide.hpp"

namespace kelvora::platform {

using win::ComPtr;

namespace {

// 200 ms in the 100-ns units of IAudioClient::Initialize.
constexpr REFERENCE_TIME kBufferDuration = 2'000'000;

// The system's words for a failed call, after the call's name.
std::string hresult_text(const char* call, HRESULT hr) {
    const std::string msg = win::system_text(static_cast<unsigned long>(hr));
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    return std::string(call) + ": " +
           (msg.empty() ? std::string("error ") + code : msg + " (" + code + ")");
}

class WasapiLoopback : public LoopbackCapture {
public:
    ~WasapiLoopback() override {
        if (started_) client_->Stop();
        if (mix_) CoTaskMemFree(mix_);
    }

    bool open(std::string* error) {
        HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (FAILED(hr)) return fail(error, "CoInitializeEx", hr);
        com_.joined = true;
        hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                              __uuidof(IMMDeviceEnumerator),
                              reinterpret_cast<void**>(enumerator_.put()));
        if (FAILED(hr)) return fail(error, "CoCreateInstance(MMDeviceEnumerator)", hr);
        hr = enumerator_->GetDefaultAudioEndpoint(eRender, eConsole, device_.put());
        if (FAILED(hr)) return fail(error, "GetDefaultAudioEndpoint", hr);
        hr = device_->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                               reinterpret_cast<void**>(client_.put()));
        if (FAILED(hr)) return fail(error, "IMMDevice::Activate", hr);
        hr = client_->GetMixFormat(&mix_);
        if (FAILED(hr)) return fail(error, "IAudioClient::GetMixFormat", hr);
        hr = client_->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_LOOPBACK,
                                 kBufferDuration, 0, mix_, nullptr);
        if (FAILED(hr)) return fail(error, "IAudioClient::Initialize", hr);
        hr = client_->GetService(__uuidof(IAudioCaptureClient),
                                 reinterpret_cast<void**>(capture_.put()));
        if (FAILED(hr)) return fail(error, "IAudioClient::GetService", hr);
        hr = client_->Start();
        if (FAILED(hr)) return fail(error, "IAudioClient::Start", hr);
        started_ = true;
        format_ = {static_cast<unsigned>(mix_->nSamplesPerSec),
                   static_cast<unsigned>(mix_->nChannels),
                   static_cast<unsigned>(mix_->wBitsPerSample)};
        return true;
    }

    MixFormat format() const override { return format_; }

    bool read(const std::function<void(const AudioPacket&)>& sink) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (;;) {
            UINT32 next = 0;
            HRESULT hr = capture_->GetNextPacketSize(&next);
            if (FAILED(hr)) return failed("IAudioCaptureClient::GetNextPacketSize", hr);
            if (next == 0) return true;
            BYTE* data = nullptr;
            UINT32 frames = 0;
            DWORD flags = 0;
            hr = capture_->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
            if (FAILED(hr)) return failed("IAudioCaptureClient::GetBuffer", hr);
            AudioPacket p;
            p.silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 || !data;
            p.data = p.silent ? nullptr : data;
            p.frames = frames;
            sink(p);
            hr = capture_->ReleaseBuffer(frames);
            if (FAILED(hr)) return failed("IAudioCaptureClient::ReleaseBuffer", hr);
        }
    }

private:
    bool fail(std::string* error, const char* call, HRESULT hr) {
        if (error) *error = hresult_text(call, hr);
        win::report_failure(call, static_cast<unsigned long>(hr));
        return false;
    }
    bool failed(const char* call, HRESULT hr) {
        win::report_failure(call, static_cast<unsigned long>(hr));
        return false;
    }

    // Declared first, so it ends after the interfaces below are released.
    struct ComScope {
        bool joined = false;
        ~ComScope() {
            if (joined) CoUninitialize();
        }
    } com_;
    bool started_ = false;
    ComPtr<IMMDeviceEnumerator> enumerator_;
    ComPtr<IMMDevice> device_;
    ComPtr<IAudioClient> client_;
    ComPtr<IAudioCaptureClient> capture_;
    WAVEFORMATEX* mix_ = nullptr;
    MixFormat format_;
};

} // namespace

std::unique_ptr<LoopbackCapture> open_loopback(std::string* error) {
    auto c = std::make_unique<WasapiLoopback>();
    if (!c->open(error)) return nullptr;
    return c;
}

} // namespace kelvora::platform
