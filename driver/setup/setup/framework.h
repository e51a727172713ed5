// The small application and window framework that the installer is built
// on: an application object with start-up and exit operations around a
// message loop, and windows with run-time class information and a message
// map. It holds only what the installer needs.
#pragma once

#include <windows.h>

// Run-time class information: a class's name and its base.
struct CRuntimeClass {
    const char* m_lpszClassName;
    const CRuntimeClass* m_pBaseClass;

    bool IsDerivedFrom(const CRuntimeClass* base) const;
};

#define RUNTIME_CLASS(name) (&name::class##name)

#define DECLARE_DYNAMIC(name)               \
  public:                                   \
    using ThisClass = name;                 \
    static const CRuntimeClass class##name; \
    const CRuntimeClass* GetRuntimeClass() const override;

#define IMPLEMENT_DYNAMIC(name, base)                                     \
    const CRuntimeClass name::class##name = {#name, RUNTIME_CLASS(base)}; \
    const CRuntimeClass* name::GetRuntimeClass() const {                  \
        return RUNTIME_CLASS(name);                                       \
    }

class CWnd;

// One entry of a message map: a message (and, for WM_COMMAND, a
// notification code and a control id) with its handler.
struct MessageMapEntry {
    enum class Signature { End, Void, Size };
    UINT message;
    UINT notifyCode;
    UINT id;
    Signature signature;
    union Handler {
        void (CWnd::*onVoid)();
        void (CWnd::*onSize)(UINT type, int cx, int cy);
    } handler;
};

struct MessageMap {
    const MessageMap* base;
    const MessageMapEntry* entries;
};

#define DECLARE_MESSAGE_MAP()                          \
  protected:                                           \
    static const MessageMap messageMap;                \
    static const MessageMapEntry messageEntries[];     \
    const MessageMap* GetMessageMap() const override { \
        return &messageMap;                            \
    }

#define BEGIN_MESSAGE_MAP(name, base)                                              \
    const MessageMap name::messageMap = {&base::messageMap, name::messageEntries}; \
    const MessageMapEntry name::messageEntries[] = {
#define END_MESSAGE_MAP()                           \
    {                                               \
        0, 0, 0, MessageMapEntry::Signature::End, { \
            nullptr                                 \
        }                                           \
    }                                               \
    }                                               \
    ;

// WM_COMMAND with BN_CLICKED from control `id`: void handler().
#define ON_BN_CLICKED(id, handler)     \
    {WM_COMMAND,                       \
     BN_CLICKED,                       \
     static_cast<UINT>(id),            \
     MessageMapEntry::Signature::Void, \
     {.onVoid = static_cast<void (CWnd::*)()>(handler)}},
// WM_CLOSE: void OnClose().
#define ON_WM_CLOSE()                  \
    {WM_CLOSE,                         \
     0,                                \
     0,                                \
     MessageMapEntry::Signature::Void, \
     {.onVoid = static_cast<void (CWnd::*)()>(&ThisClass::OnClose)}},
// WM_SIZE: void OnSize(UINT type, int cx, int cy).
#define ON_WM_SIZE()                   \
    {WM_SIZE,                          \
     0,                                \
     0,                                \
     MessageMapEntry::Signature::Size, \
     {.onSize = static_cast<void (CWnd::*)(UINT, int, int)>(&ThisClass::OnSize)}},

// A window of the window system, or a child control, owned by this object.
class CWnd {
  public:
    CWnd() = default;
    virtual ~CWnd();
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    static const CRuntimeClass classCWnd;
    virtual const CRuntimeClass* GetRuntimeClass() const;

    // A top-level window of a class that this framework registered; its
    // messages go through the message map.
    BOOL CreateEx(DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style, int x, int y,
                  int width, int height, HWND parent, HMENU menu);
    // A child control of one of the system's classes (static, edit, button).
    BOOL CreateControl(LPCWSTR className, LPCWSTR text, DWORD style, const RECT& rect, CWnd* parent,
                       UINT id);
    BOOL DestroyWindow();

    // Registers a window class whose windows this framework dispatches.
    static BOOL RegisterClass(LPCWSTR className, UINT style, HCURSOR cursor, HBRUSH background,
                              HICON icon);

    HWND m_hWnd = nullptr;

  protected:
    static const MessageMap messageMap;
    virtual const MessageMap* GetMessageMap() const { return &messageMap; }
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // The last message a window gets: the object lets go of it.
    virtual void PostNcDestroy() {}

  private:
    static LRESULT CALLBACK dispatch(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
};

// The application: start-up, the message loop, exit.
class CWinApp {
  public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // Called once before the message loop; false skips the loop.
    virtual BOOL InitInstance() { return TRUE; }
    // Called once at the end; returns the process exit code.
    virtual int ExitInstance();
    // Runs the message loop until the main window is destroyed.
    virtual int Run();

    HINSTANCE m_hInstance = nullptr;
    // Destroying this window ends the message loop.
    CWnd* m_pMainWnd = nullptr;

  private:
    friend int AfxWinMain(HINSTANCE instance);
    int m_quitCode = 0;  // carried by the quit message
};

CWinApp* AfxGetApp();
// The program's start: runs the one application object.
int AfxWinMain(HINSTANCE instance);
