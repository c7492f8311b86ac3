#pragma once
// Keys of the render settings a plugin demands from the host.

namespace co {

inline constexpr const char* COSupportedFileFormatsKey = "COSupportedFileFormatsKey";
inline constexpr const char* COProcessFileFormatKey = "COProcessFileFormatKey";
inline constexpr const char* COProcessIncludeAnnotationsKey = "COProcessIncludeAnnotationsKey";
inline constexpr const char* COProcessIncludeKeywordsMetadataKey = "COProcessIncludeKeywordsMetadataKey";
inline constexpr const char* COProcessScaleMethodKey = "COProcessScaleMethodKey";
inline constexpr const char* COProcessLongEdgeScaleKey = "COProcessLongEdgeScaleKey";
inline constexpr const char* COProcessScaleLengthKey = "COProcessScaleLengthKey";
inline constexpr const char* COProcessScaleUnitKey = "COProcessScaleUnitKey";

}  // namespace co
