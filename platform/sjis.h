#pragma once
// Every narrow literal of this program is Shift_JIS (code page 932): the build
// compiles UTF-8 sources with -fexec-charset=CP932. If a compiler or a build
// without that flag turns them into UTF-8 instead, stop here rather than serve
// pages whose bytes are wrong. In Shift_JIS this character is two bytes.
static_assert(sizeof("表") == 3 && "表"[0] == '\x95' && "表"[1] == '\x5C',
              "narrow string literals must be compiled to Shift_JIS (-fexec-charset=CP932)");
