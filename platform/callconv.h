// Calling conventions of the host and device-library boundary.
//
// Every function that the plug-in hands to the device library, and every host
// callback, is callee-cleaned on 32-bit x86 (the Windows __stdcall convention).
// Elsewhere the attribute has no meaning, so the macro expands to nothing.
#pragma once

#if defined(_WIN32) && defined(_M_IX86)
#define QRV_CALLBACK __stdcall
#elif defined(__i386__)
#define QRV_CALLBACK __attribute__((stdcall))
#else
#define QRV_CALLBACK
#endif

// The member-function convention of 32-bit Windows C++ hosts: the object in
// ECX, the arguments on the stack, removed by the callee. Only functions that
// stand in for a host-visible virtual operation carry it.
#if defined(__i386__)
#define QRV_THISCALL __attribute__((thiscall))
#else
#define QRV_THISCALL
#endif
