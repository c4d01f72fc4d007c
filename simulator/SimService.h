// Entry points of libvarnelsim.so behind the simulated libdcxif.so and libportconfig.so. They
// carry a VSimSvc_ prefix because libvarnelsim.so must export no DCX_ name: a lookup in a
// library built without one of its functions would otherwise find ours through the dependency.
#pragma once

#include "service/DCXServiceAPI.h"

extern "C" {

// The directory of the libdcxif.so that was called, where a scenario file may lie.
DCXRESULT VSimSvc_Initialize(const char* libraryDirectory);
DCX_Terminate_t VSimSvc_Terminate;
DCX_Open_t VSimSvc_Open;
DCX_Close_t VSimSvc_Close;
DCX_Lock_t VSimSvc_Lock;
DCX_Unlock_t VSimSvc_Unlock;
DCX_RegisterCallback_t VSimSvc_RegisterCallback;
DCX_UnRegisterCallback_t VSimSvc_UnRegisterCallback;
DCX_Send_t VSimSvc_Send;
DCX_CancelOperation_t VSimSvc_CancelOperation;
DCX_ResumeSending_t VSimSvc_ResumeSending;
DCX_GetProperty_t VSimSvc_GetProperty;
DCX_SetProperty_t VSimSvc_SetProperty;
DCX_GetCapability_t VSimSvc_GetCapability;
DCX_ResetDevice_t VSimSvc_ResetDevice;
DCX_ExtendFunction_t VSimSvc_ExtendFunction;

DCX_GetCustomValueNumber_t VSimSvc_GetCustomValueNumber;
DCX_GetCustomValueString_t VSimSvc_GetCustomValueString;
DCX_GetCustomValueBinary_t VSimSvc_GetCustomValueBinary;
DCX_SetCustomValueNumber_t VSimSvc_SetCustomValueNumber;
DCX_SetCustomValueString_t VSimSvc_SetCustomValueString;
DCX_SetCustomValueBinary_t VSimSvc_SetCustomValueBinary;
DCX_GetPortConfigNumber_t VSimSvc_GetPortConfigNumber;
DCX_GetPortCapabilityValue_t VSimSvc_GetPortCapabilityValue;

}  // extern "C"
