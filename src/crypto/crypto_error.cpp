#include "crypto/crypto_error.h"

#include "common/text.h"

namespace dovan {

CryptoError handshake_params_error(std::string_view detail) {
    return {CryptoErrc::HandshakeParams, format_text("握手参数解析失败: {}", detail)};
}
CryptoError message_rejected_error(std::string_view detail) {
    return {CryptoErrc::MessageRejected,
            format_text("握手消息处理失败: {}（可能角色对调、输入被篡改或时序错误）", detail)};
}
CryptoError out_of_order_error() { return {CryptoErrc::OutOfOrder, "握手尚未完成或越序调用"}; }
CryptoError remote_static_missing_error() {
    return {CryptoErrc::RemoteStaticMissing, "远程静态公钥尚未交换"};
}
CryptoError length_error(std::string_view name, std::size_t actual, std::size_t expected) {
    return {CryptoErrc::BadLength, format_text("{} 长度异常：{}B（期望 {}B）", name, actual, expected)};
}
CryptoError invalid_key_length_error() { return {CryptoErrc::InvalidKeyLength, "密钥长度非法"}; }
CryptoError open_failed_error() {
    return {CryptoErrc::OpenFailed, "解密失败：完整性校验未通过（tag/密文被篡改）"};
}
CryptoError derivation_error(std::string_view detail) {
    return {CryptoErrc::Derivation, std::string(detail)};
}

}  // namespace dovan
