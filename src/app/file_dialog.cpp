#include "app/file_dialog.h"

#include <commdlg.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include <optional>
#include <utility>
#include <vector>

#include "operator/texts.h"
#include "platform/utf16.h"

namespace quento::app {
namespace {

using Microsoft::WRL::ComPtr;

// Browse's file types as (name, pattern) pairs.
std::vector<std::pair<std::wstring, std::wstring>> FirmwareFilter() {
  return {{platform::Widen(op::text::kSourceFilesFilter), L"*.bin"},
          {platform::Widen(op::text::kHeadFilesFilter), L"*.bin"}};
}

class ComScope {
 public:
  ComScope() : m_hr(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}
  ~ComScope() {
    if (SUCCEEDED(m_hr)) ::CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  HRESULT m_hr;
};

// The common item dialog (Windows Vista and later). Nothing when it is not available.
std::optional<std::wstring> ChooseWithItemDialog(HWND owner) {
  ComPtr<IFileOpenDialog> dialog;
  if (FAILED(::CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                IID_PPV_ARGS(&dialog)))) {
    return std::nullopt;
  }
  FILEOPENDIALOGOPTIONS options = 0;
  dialog->GetOptions(&options);
  dialog->SetOptions(options | FOS_ALLOWMULTISELECT | FOS_OVERWRITEPROMPT | FOS_FORCEFILESYSTEM);
  const auto filter = FirmwareFilter();
  std::vector<COMDLG_FILTERSPEC> types;
  for (const auto& [name, pattern] : filter) types.push_back({name.c_str(), pattern.c_str()});
  dialog->SetFileTypes(static_cast<UINT>(types.size()), types.data());
  dialog->SetFileTypeIndex(1);

  std::wstring chosen;
  ComPtr<IShellItemArray> items;
  if (FAILED(dialog->Show(owner)) || FAILED(dialog->GetResults(&items))) return chosen;
  DWORD count = 0;
  items->GetCount(&count);
  for (DWORD i = 0; i < count; ++i) {
    ComPtr<IShellItem> item;
    PWSTR path = nullptr;
    if (FAILED(items->GetItemAt(i, &item)) ||
        FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &path))) {
      continue;
    }
    chosen = path;
    ::CoTaskMemFree(path);
  }
  return chosen;
}

// The Explorer-style dialog, for systems without the item dialog.
std::wstring ChooseWithExplorerDialog(HWND owner) {
  std::wstring filter;
  for (const auto& [name, pattern] : FirmwareFilter()) {
    filter += name + L'\0' + pattern + L'\0';
  }
  std::vector<wchar_t> selection(kSelectionChars, L'\0');
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = selection.data();
  ofn.nMaxFile = kSelectionChars;
  ofn.Flags = OFN_ALLOWMULTISELECT | OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_EXPLORER |
              OFN_ENABLESIZING;
  std::wstring chosen;
  if (!::GetOpenFileNameW(&ofn)) return chosen;
  // One file: its full path. Several: the folder, then each name, each ending in a null.
  const wchar_t* first = selection.data();
  const std::wstring folder = first;
  const wchar_t* name = first + folder.size() + 1;
  if (*name == L'\0') return folder;
  const bool endsInSeparator = !folder.empty() && folder.back() == L'\\';
  for (; *name != L'\0'; name += std::wstring_view(name).size() + 1) {
    chosen = folder + (endsInSeparator ? L"" : L"\\") + name;
  }
  return chosen;
}

}  // namespace

std::wstring ChooseFirmwareFile(HWND owner) {
  ComScope com;
  if (auto chosen = ChooseWithItemDialog(owner)) return *chosen;
  return ChooseWithExplorerDialog(owner);
}

}  // namespace quento::app
