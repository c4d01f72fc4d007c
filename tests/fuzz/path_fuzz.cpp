// The install root through the native SetDCXPath and the library paths under it: a root ends at
// its first 0, is refused (the old one kept) unless every path under it fits 256 bytes, uncut.
#include "fuzz/Fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    FUZZ_CHECK(SetPHClassPath("", 0));
    for (FakeJni jni; in.remaining_bytes() > 0;) {
        const std::string old = GetPHClassPath();
        const bool null = in.ConsumeIntegralInRange(0, 15) == 0;
        const auto bytes = in.ConsumeBytes<char>(in.ConsumeIntegralInRange(0, 300));
        const std::string root(bytes.begin(), std::find(bytes.begin(), bytes.end(), '\0'));
        const bool fits =
            !null && root.size() + std::strlen(PH_ROOT_DIRECTORY) + std::strlen(PH_CONFIG_LIBRARY) <
                         PH_PATH_SIZE;
        const jbyteArray array =
            null ? nullptr : jni.NewByteArray(std::string(bytes.begin(), bytes.end()));
        FUZZ_CHECK(PH_JNI(SetDCXPath)(jni.env(), nullptr, array) == (fits ? 0 : -3) &&
                   GetPHClassPath() == (fits ? root : old));
        for (const char* file : {PH_SERVICE_LIBRARY, PH_CONFIG_LIBRARY}) {
            char path[PH_PATH_SIZE];
            BuildPHLibraryPath(file, path);
            const std::string now = GetPHClassPath();
            FUZZ_CHECK(path ==
                       (now.empty() ? PH_DEFAULT_DIRECTORY : now + PH_ROOT_DIRECTORY) + file);
        }
    }
    FUZZ_CHECK_FAKE_JNI();
    return 0;
}
