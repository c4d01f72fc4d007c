// The thirteen native methods of com.varnel.pos.comm.v4_0001.PortHandlerIO, exported under their
// JNI short names. Declared here so tests can call them as plain functions.
#pragma once

#include <jni.h>

#include "platform/WinApiClone.h"
#include "service/DCXServiceAPI.h"

#define PH_JNI(name) Java_com_varnel_pos_comm_v4_10001_PortHandlerIO_##name

extern "C" {

JNIEXPORT jint JNICALL PH_JNI(Open)(JNIEnv* env, jobject, jstring serviceURL, jstring portName,
                                    jint deviceType, jlongArray handleHolder);
JNIEXPORT jint JNICALL PH_JNI(Close)(JNIEnv* env, jobject, jlong handle);
JNIEXPORT jint JNICALL PH_JNI(Write)(JNIEnv* env, jobject, jlong handle, jbyteArray data,
                                     jint first, jint second, jintArray countHolder);
JNIEXPORT jint JNICALL PH_JNI(Read)(JNIEnv* env, jobject, jlong handle, jbyteArray destination,
                                    jint maximum, jintArray countHolder);
JNIEXPORT jint JNICALL PH_JNI(Clear)(JNIEnv* env, jobject, jlong handle);
JNIEXPORT jint JNICALL PH_JNI(GetProperty)(JNIEnv* env, jobject, jlong handle, jint id,
                                           jlongArray valueHolder);
JNIEXPORT jint JNICALL PH_JNI(SetProperty)(JNIEnv* env, jobject, jlong handle, jint first,
                                           jint second, jlong value);
JNIEXPORT jint JNICALL PH_JNI(GetCapability)(JNIEnv* env, jobject, jlong handle, jint id,
                                             jlongArray valueHolder);
JNIEXPORT jint JNICALL PH_JNI(ResetDevice)(JNIEnv* env, jobject, jlong handle, jint argument);
JNIEXPORT jint JNICALL PH_JNI(IOCtl)(JNIEnv* env, jobject, jlong handle, jint code,
                                     jbyteArray input, jint inputLength, jbyteArray output,
                                     jint outputLength, jintArray countHolder);
JNIEXPORT jint JNICALL PH_JNI(SetDCXPath)(JNIEnv* env, jobject, jbyteArray root);
JNIEXPORT jint JNICALL PH_JNI(GetPortCapability)(JNIEnv* env, jobject, jstring serviceURL,
                                                 jstring portName, jint id, jint argument,
                                                 jintArray valueHolder);
JNIEXPORT jint JNICALL PH_JNI(checkOstrelPowerStatus)(JNIEnv* env, jobject, jlong handle);

}  // extern "C"

// Port property access shared by the property methods and IOCtl; untranslated service codes,
// 0x80000001 when the service lacks the function.
DCXRESULT SetDCXProperty(const DCXFunctions& dcx, void* portHandle, uint32_t first, uint32_t second,
                         int64_t value);
DCXRESULT GetDCXProperty(const DCXFunctions& dcx, void* portHandle, uint32_t id, int64_t* value);
