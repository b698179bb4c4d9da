// The device library surface (tmControlClient) that the plug-in calls.
//
// The library's functions are plain exported C functions whose arguments the
// caller removes. Every callback handed to the library is callee-cleaned
// (QRV_CALLBACK) and receives the pointer-sized context given at
// registration. Every function returns a 32-bit result.
//
// Handles are small positive numbers returned by TMCC_Init; 0 means that no
// client was made.
#pragma once

#include <cstdint>

#include "devicelib/tmcc_records.h"
#include "platform/callconv.h"

#if defined(TMCC_BUILDING_LIBRARY) && defined(_WIN32)
#define TMCC_API __declspec(dllexport)
#elif defined(TMCC_BUILDING_LIBRARY)
#define TMCC_API __attribute__((visibility("default")))
#else
#define TMCC_API
#endif

extern "C" {

using TmccHandle = int32_t;

// Called by a login client when its connection changes: handle, state
// (1 connected, 0 disconnected), a reason code, the registration context.
typedef int32_t(QRV_CALLBACK* TmccConnectCallback)(int32_t handle, int32_t connected,
                                                    int32_t reason, void* context);

// Called once per stream packet, on the stream's own delivery thread, in
// order; a callback that blocks holds up only its stream.
typedef int32_t(QRV_CALLBACK* TmccStreamCallback)(int32_t handle,
                                                   qrv::devicelib::StreamPacket* packet,
                                                   void* context);

// Called once per message received by an alarm listener, on a library thread.
typedef int32_t(QRV_CALLBACK* TmccDataReadCallback)(int32_t handle,
                                                     qrv::devicelib::AlarmMessage* message,
                                                     void* context);

// Called once per device answer received by an enumeration client.
typedef int32_t(QRV_CALLBACK* TmccEnumServerCallback)(qrv::devicelib::ServerInfoRecord* info,
                                                       void* context);

TMCC_API int32_t TMCC_Init(int32_t clientKind);
TMCC_API int32_t TMCC_Done(TmccHandle handle);

TMCC_API int32_t TMCC_RegisterConnectCallBack(TmccHandle handle, TmccConnectCallback callback,
                                              void* context);
TMCC_API int32_t TMCC_SetTimeOut(TmccHandle handle, int32_t milliseconds);
TMCC_API int32_t TMCC_SetAutoReConnect(TmccHandle handle, int32_t enable);
TMCC_API int32_t TMCC_IsConnect(TmccHandle handle);
TMCC_API int32_t TMCC_DisConnect(TmccHandle handle);
TMCC_API int32_t TMCC_Connect(TmccHandle handle, qrv::devicelib::LoginRecord* login,
                              int32_t flags);

TMCC_API int32_t TMCC_SetDisplayShow(TmccHandle handle, int32_t show);
TMCC_API int32_t TMCC_SetStreamBufferTime(TmccHandle handle, int32_t milliseconds);
TMCC_API int32_t TMCC_RegisterStreamCallBack(TmccHandle handle, TmccStreamCallback callback,
                                             void* context);
TMCC_API int32_t TMCC_ConnectStream(TmccHandle handle, qrv::devicelib::StreamConnectRecord* record,
                                    uint32_t playWnd);
TMCC_API int32_t TMCC_CloseStream(TmccHandle handle);

TMCC_API int32_t TMCC_MakeKeyFrame(TmccHandle handle);
TMCC_API int32_t TMCC_CapturePictureToFile(TmccHandle handle, const char* fileName,
                                           const char* format);
TMCC_API int32_t TMCC_SetMute(TmccHandle handle, int32_t mute);
TMCC_API int32_t TMCC_StartVoiceCom(TmccHandle handle, qrv::devicelib::LoginRecord* login);
TMCC_API int32_t TMCC_StopVoiceCom(TmccHandle handle);
TMCC_API int32_t TMCC_PtzControl(TmccHandle handle, int32_t command, int32_t param1,
                                 int32_t param2);

TMCC_API int32_t TMCC_RegisterDataReadCallBack(TmccHandle handle, TmccDataReadCallback callback,
                                               void* context);
TMCC_API int32_t TMCC_StartListen(TmccHandle handle, int32_t port);
TMCC_API int32_t TMCC_StopListen(TmccHandle handle);

TMCC_API int32_t TMCC_RegisterEnumServerCallBack(TmccHandle handle,
                                                 TmccEnumServerCallback callback, void* context);
TMCC_API int32_t TMCC_StartEnum(TmccHandle handle);
TMCC_API int32_t TMCC_StopEnum(TmccHandle handle);
TMCC_API int32_t TMCC_RefreshEnum(TmccHandle handle);

}  // extern "C"
