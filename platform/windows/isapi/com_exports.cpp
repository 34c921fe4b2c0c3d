// The four self-registration exports of an in-process COM server. The gate serves no class and
// carries no type library: registration succeeds only when a .tlb of the DLL's name lies beside it.
#include <windows.h>

// The COM declarations need the base types of windows.h.
#include <oleauto.h>

#include <atomic>
#include <cstring>

namespace {

struct ComModule {
  HINSTANCE instance = nullptr;
  std::atomic<long> locks{0};
  CRITICAL_SECTION factoryLock{};
  bool initialised = false;
};
ComModule gCom;

// Sets the thread locale to the system default for the lifetime of the object.
class SystemLocaleScope {
 public:
  SystemLocaleScope() : saved_(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
  ~SystemLocaleScope() { SetThreadLocale(saved_); }
  SystemLocaleScope(const SystemLocaleScope&) = delete;
  SystemLocaleScope& operator=(const SystemLocaleScope&) = delete;

 private:
  LCID saved_;
};

HRESULT LoadOwnTypeLib(ITypeLib** lib, wchar_t (&path)[MAX_PATH]) {
  *lib = nullptr;
  const DWORD n = GetModuleFileNameW(gCom.instance, path, MAX_PATH);
  if (n == 0)
    return HRESULT_FROM_WIN32(GetLastError());
  if (n >= MAX_PATH)
    return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  if (SUCCEEDED(LoadTypeLib(path, lib)))
    return S_OK;
  wchar_t* slash = std::wcsrchr(path, L'\\');
  wchar_t* dot = std::wcsrchr(slash != nullptr ? slash : path, L'.');
  const std::size_t stem = dot != nullptr ? static_cast<std::size_t>(dot - path) : n;
  if (stem + 5 > MAX_PATH)
    return E_FAIL;
  std::wcscpy(path + stem, L".tlb");
  return LoadTypeLib(path, lib);
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    gCom.instance = instance;
    gCom.initialised = InitializeCriticalSectionAndSpinCount(&gCom.factoryLock, 0) != FALSE;
    return gCom.initialised ? TRUE : FALSE;
  }
  if (reason == DLL_PROCESS_DETACH && gCom.initialised) {
    DeleteCriticalSection(&gCom.factoryLock);
    gCom.initialised = false;
  }
  return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID, REFIID, LPVOID* ppv) {
  if (ppv == nullptr)
    return E_POINTER;
  *ppv = nullptr;
  if (!gCom.initialised)
    return E_UNEXPECTED;
  return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT WINAPI DllCanUnloadNow() {
  return gCom.locks.load() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT WINAPI DllRegisterServer() {
  const SystemLocaleScope locale;
  wchar_t path[MAX_PATH];
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadOwnTypeLib(&lib, path);
  if (FAILED(hr))
    return hr;
  BSTR helpFile = nullptr;
  wchar_t helpDir[MAX_PATH] = {};
  if (SUCCEEDED(lib->GetDocumentation(-1, nullptr, nullptr, nullptr, &helpFile)) &&
      helpFile != nullptr) {
    std::wcsncpy(helpDir, helpFile, MAX_PATH - 1);
    wchar_t* cut = nullptr;
    for (wchar_t* p = helpDir; *p != L'\0'; ++p) {
      if (*p == L'\\' || *p == L'/' || *p == L':')
        cut = p;
    }
    if (cut != nullptr)
      cut[1] = L'\0';
    SysFreeString(helpFile);
  }
  hr = RegisterTypeLib(lib, path, helpDir[0] != L'\0' ? helpDir : nullptr);
  lib->Release();
  return hr;
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
  const SystemLocaleScope locale;
  wchar_t path[MAX_PATH];
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadOwnTypeLib(&lib, path);
  if (FAILED(hr))
    return hr;
  TLIBATTR* attr = nullptr;
  hr = lib->GetLibAttr(&attr);
  if (SUCCEEDED(hr)) {
    hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid,
                           attr->syskind);
    lib->ReleaseTLibAttr(attr);
  }
  lib->Release();
  return SUCCEEDED(hr) ? S_OK : hr;
}
