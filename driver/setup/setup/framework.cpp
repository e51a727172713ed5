#include "framework.h"

namespace {

CWinApp* g_app = nullptr;

}  // namespace

bool CRuntimeClass::IsDerivedFrom(const CRuntimeClass* base) const {
    for (const CRuntimeClass* c = this; c != nullptr; c = c->m_pBaseClass)
        if (c == base)
            return true;
    return false;
}

const CRuntimeClass CWnd::classCWnd = {"CWnd", nullptr};
const MessageMap CWnd::messageMap = {nullptr, nullptr};

const CRuntimeClass* CWnd::GetRuntimeClass() const {
    return &classCWnd;
}

CWnd::~CWnd() {
    DestroyWindow();
}

BOOL CWnd::RegisterClass(LPCWSTR className, UINT style, HCURSOR cursor, HBRUSH background,
                         HICON icon) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = style;
    wc.lpfnWndProc = dispatch;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = cursor;
    wc.hbrBackground = background;
    wc.hIcon = icon;
    wc.lpszClassName = className;
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof existing;
    if (GetClassInfoExW(wc.hInstance, className, &existing))
        return TRUE;
    return RegisterClassExW(&wc) != 0;
}

BOOL CWnd::CreateEx(DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style, int x, int y,
                    int width, int height, HWND parent, HMENU menu) {
    // The object is attached at WM_NCCREATE, so messages sent during
    // creation reach the message map.
    HWND hWnd = CreateWindowExW(exStyle, className, title, style, x, y, width, height, parent, menu,
                                GetModuleHandleW(nullptr), this);
    return hWnd != nullptr;
}

BOOL CWnd::CreateControl(LPCWSTR className, LPCWSTR text, DWORD style, const RECT& rect,
                         CWnd* parent, UINT id) {
    m_hWnd = CreateWindowExW(0, className, text, style | WS_CHILD, rect.left, rect.top,
                             rect.right - rect.left, rect.bottom - rect.top, parent->m_hWnd,
                             reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)),
                             GetModuleHandleW(nullptr), nullptr);
    return m_hWnd != nullptr;
}

BOOL CWnd::DestroyWindow() {
    if (m_hWnd == nullptr)
        return FALSE;
    return ::DestroyWindow(m_hWnd);
}

LRESULT CALLBACK CWnd::dispatch(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* self = static_cast<CWnd*>(create->lpCreateParams);
        self->m_hWnd = hWnd;
        SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<CWnd*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (self == nullptr)
        return DefWindowProcW(hWnd, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        const LRESULT result = DefWindowProcW(hWnd, message, wParam, lParam);
        SetWindowLongPtrW(hWnd, GWLP_USERDATA, 0);
        self->m_hWnd = nullptr;
        // The main window going ends the message loop.
        if (CWinApp* app = AfxGetApp(); app != nullptr && app->m_pMainWnd == self)
            PostQuitMessage(0);
        self->PostNcDestroy();
        return result;
    }
    return self->WindowProc(message, wParam, lParam);
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (OnMessage(message, wParam, lParam))
        return 0;
    return DefWindowProcW(m_hWnd, message, wParam, lParam);
}

// Finds the message in the maps, the class's own first; true if handled.
bool CWnd::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    for (const MessageMap* map = GetMessageMap(); map != nullptr; map = map->base) {
        for (const MessageMapEntry* e = map->entries;
             e != nullptr && e->signature != MessageMapEntry::Signature::End; ++e) {
            if (e->message != message)
                continue;
            if (message == WM_COMMAND &&
                (HIWORD(wParam) != e->notifyCode || LOWORD(wParam) != e->id))
                continue;
            switch (e->signature) {
                case MessageMapEntry::Signature::Void:
                    (this->*e->handler.onVoid)();
                    return true;
                case MessageMapEntry::Signature::Size:
                    (this->*e->handler.onSize)(static_cast<UINT>(wParam), LOWORD(lParam),
                                               HIWORD(lParam));
                    return true;
                case MessageMapEntry::Signature::End:
                    break;
            }
        }
    }
    return false;
}

CWinApp::CWinApp() {
    g_app = this;
}

CWinApp::~CWinApp() {
    if (g_app == this)
        g_app = nullptr;
}

CWinApp* AfxGetApp() {
    return g_app;
}

int CWinApp::ExitInstance() {
    return m_quitCode;
}

int CWinApp::Run() {
    MSG msg;
    for (;;) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            m_quitCode = static_cast<int>(msg.wParam);
            break;
        }
        if (got == -1)
            break;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return ExitInstance();
}

int AfxWinMain(HINSTANCE instance) {
    CWinApp* app = AfxGetApp();
    if (app == nullptr)
        return -1;
    app->m_hInstance = instance;
    if (!app->InitInstance()) {
        if (app->m_pMainWnd != nullptr)
            app->m_pMainWnd->DestroyWindow();
        return app->ExitInstance();
    }
    return app->Run();
}
