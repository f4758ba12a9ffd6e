// The dialog's template is IDD_NEW_IMAGE in panel.rc.
#include "new_image_dialog.h"

#include "tools/console/wide_text.h"
#include "tools/panel/file_dialogs.h"
#include "tools/panel/panel_ids.h"

namespace {

std::wstring textOf(HWND control) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
    return text;
}

}  // namespace

std::optional<NewImageRequest> NewImageDialog::run(HWND owner, HINSTANCE instance, int mountDrive) {
    NewImageDialog d(mountDrive);
    const INT_PTR answer = DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_NEW_IMAGE), owner, procedure,
                                           reinterpret_cast<LPARAM>(&d));
    if (answer != IDOK) return std::nullopt;
    return d.result_;
}

INT_PTR CALLBACK NewImageDialog::procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<NewImageDialog*>(lParam);
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        self->dialog_ = dialog;
        self->initialise();
        return TRUE;
    }
    auto* self = reinterpret_cast<NewImageDialog*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (self && message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        self->command(LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

void NewImageDialog::initialise() {
    CheckRadioButton(dialog_, IDC_NEW_SD, IDC_NEW_CUSTOM, IDC_NEW_SD);
    SetDlgItemTextW(dialog_, IDC_NEW_COUNT, L"720");
    SetDlgItemTextW(dialog_, IDC_NEW_SIZE, L"128");
    const HWND mount = GetDlgItem(dialog_, IDC_NEW_MOUNT);
    SendMessageW(mount, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Do not mount"));
    for (int d = 1; d <= 9; ++d)
        SendMessageW(mount, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>((L"as D" + std::to_wstring(d) + L":").c_str()));
    SendMessageW(mount, CB_SETCURSEL, static_cast<WPARAM>(result_.mountDrive), 0);
    enableCustom();
}

void NewImageDialog::enableCustom() {
    const bool custom = IsDlgButtonChecked(dialog_, IDC_NEW_CUSTOM) == BST_CHECKED;
    EnableWindow(GetDlgItem(dialog_, IDC_NEW_COUNT), custom);
    EnableWindow(GetDlgItem(dialog_, IDC_NEW_SIZE), custom);
}

void NewImageDialog::command(int id) {
    switch (id) {
    case IDC_NEW_SD:
    case IDC_NEW_ED:
    case IDC_NEW_DD:
    case IDC_NEW_CUSTOM:
        enableCustom();
        break;
    case IDC_NEW_BROWSE:
        if (auto path = FileDialogs::saveImage(dialog_, textOf(GetDlgItem(dialog_, IDC_NEW_PATH))))
            SetDlgItemTextW(dialog_, IDC_NEW_PATH, path->c_str());
        break;
    case IDOK:
        if (accept()) EndDialog(dialog_, IDOK);
        break;
    case IDCANCEL:
        EndDialog(dialog_, IDCANCEL);
        break;
    }
}

bool NewImageDialog::accept() {
    const auto problem = [&](const wchar_t* text) {
        SetDlgItemTextW(dialog_, IDC_NEW_PROBLEM, text);
        return false;
    };
    result_.path = textOf(GetDlgItem(dialog_, IDC_NEW_PATH));
    if (result_.path.empty()) return problem(L"Name the new image's file (Browse... helps).");

    std::string geometry = "sd";
    if (IsDlgButtonChecked(dialog_, IDC_NEW_ED) == BST_CHECKED) geometry = "ed";
    if (IsDlgButtonChecked(dialog_, IDC_NEW_DD) == BST_CHECKED) geometry = "dd";
    if (IsDlgButtonChecked(dialog_, IDC_NEW_CUSTOM) == BST_CHECKED)
        geometry = console::narrow(textOf(GetDlgItem(dialog_, IDC_NEW_COUNT)) + L"x" +
                                   textOf(GetDlgItem(dialog_, IDC_NEW_SIZE)));
    const std::optional<console::Geometry> g = console::parseGeometry(geometry);
    if (!g) return problem(L"A custom image takes 1 to 65535 sectors of 1 to 65535 bytes.");
    result_.geometry = *g;
    const LRESULT mount = SendDlgItemMessageW(dialog_, IDC_NEW_MOUNT, CB_GETCURSEL, 0, 0);
    result_.mountDrive = mount > 0 ? static_cast<int>(mount) : 0;
    return true;
}
