#include "delay_load_hook_win.h"

#include <gtest/gtest.h>

#include <string>

#include "addon/bridge_fixture.h"

namespace vyn::addon {
namespace {

FARPROC notify(unsigned notification, const char* dll_name) {
  DelayLoadInfo info{};
  info.cb = sizeof(info);
  info.szDll = dll_name;
  return delay_load_hook(notification, &info);
}

FARPROC main_executable() { return reinterpret_cast<FARPROC>(GetModuleHandleW(nullptr)); }

TEST(DelayLoadHook, IsTheInstalledNotificationHook) {
  EXPECT_EQ(__pfnDliNotifyHook2, &delay_load_hook);
}

TEST(DelayLoadHook, RedirectsNodeExeInAnyCaseToTheMainExecutable) {
  ASSERT_EQ(GetModuleHandleW(L"libnode.dll"), nullptr);
  for (const char* name : {"node.exe", "NODE.EXE", "Node.Exe", "nODe.eXe"}) {
    EXPECT_EQ(notify(dliNotePreLoadLibrary, name), main_executable()) << name;
  }
}

TEST(DelayLoadHook, PrefersALoadedLibnode) {
  testing::ScratchFolder folder(u8"vyn-delay-load-hook");
  const std::wstring copy = folder.copy_bridge(u8"libnode").wstring();
  HMODULE libnode = LoadLibraryW(copy.c_str());
  ASSERT_NE(libnode, nullptr) << GetLastError();
  EXPECT_EQ(notify(dliNotePreLoadLibrary, "node.exe"), reinterpret_cast<FARPROC>(libnode));
  EXPECT_EQ(notify(dliNotePreLoadLibrary, "NODE.exe"), reinterpret_cast<FARPROC>(libnode));
  EXPECT_EQ(notify(dliNotePreLoadLibrary, "libnode.dll"), nullptr);
  FreeLibrary(libnode);
  EXPECT_EQ(notify(dliNotePreLoadLibrary, "node.exe"), main_executable());
}

TEST(DelayLoadHook, LeavesEveryOtherNameToTheLoader) {
  for (const char* name : {"node.dll", "node.ex", "node.exe.dll", "xnode.exe", "node.exe ",
                           "kernel32.dll", "vyn_test_bridge.dll", ""}) {
    EXPECT_EQ(notify(dliNotePreLoadLibrary, name), nullptr) << '"' << name << '"';
  }
  EXPECT_EQ(notify(dliNotePreLoadLibrary, nullptr), nullptr);
  EXPECT_EQ(delay_load_hook(dliNotePreLoadLibrary, nullptr), nullptr);
}

TEST(DelayLoadHook, LeavesEveryOtherNotificationToTheLoader) {
  for (unsigned notification :
       {static_cast<unsigned>(dliStartProcessing), static_cast<unsigned>(dliNotePreGetProcAddress),
        static_cast<unsigned>(dliFailLoadLib), static_cast<unsigned>(dliFailGetProc),
        static_cast<unsigned>(dliNoteEndProcessing), 99u}) {
    EXPECT_EQ(notify(notification, "node.exe"), nullptr) << notification;
  }
}

}  // namespace
}  // namespace vyn::addon
