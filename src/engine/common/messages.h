#pragma once

#include <string>
#include <string_view>

namespace vesk {

// Numbers of the library's message texts (the string table of the DLL holds
// the same list).
enum MessageId : int {
  kMsgLibraryName = 100,
  kMsgBadConnection = 101,
  kMsgBadUserName = 102,
  kMsgBadUserNameOnUser = 103,
  kMsgBadPassword = 104,
  kMsgQuitFailed = 105,
  kMsgDeleFailed = 106,
  kMsgRsetFailed = 107,
  kMsgStatFailed = 108,
  kMsgNoopFailed = 109,
  kMsgListFailed = 110,
  kMsgSocketReadFailed = 111,
  kMsgRetrFailed = 112,
  kMsgSocketError = 113,
  kMsgOpenFileFailed = 114,
  kMsgCannotConnect = 116,
  kMsgMailFromRejected = 117,
  kMsgHeloRejected = 118,
  kMsgRcptRejected = 119,
  kMsgDataFailed = 120,
  kMsgInvalidMessageObject = 121,
  kMsgCannotCreateMessage = 122,
  kMsgEndOfDataRejected = 124,
  kMsgTopFailed = 125,
  kMsgUnknownValueType = 128,
  kMsgMultipartPreamble = 129,
  kMsgLineBreakInCommand = 140,
  kMsgCommandTooLong = 141,
  kMsgMailboxNameTooLong = 142,
  kMsgResponseLineTooLong = 143,
  kMsgInvalidLiteral = 144,
  kMsgInvalidDate = 145,
  kMsgInvalidCommandArguments = 146,
  kMsgStartTlsNotOffered = 147,
  kMsgTlsHandshakeFailed = 148,
  kMsgCertificateUntrusted = 149,
  kMsgCertificateExpired = 150,
  kMsgCertificateWrongName = 151,
  kMsgClosedDuringHandshake = 152,
  kMsgAuthFailed = 160,
  kMsgAuthNotOffered = 161,
  kMsgMechanismNotOffered = 162,
  kMsgUnsafeCredentials = 163,
  kMsgPasswordNeeded = 164,
  kMsgAccessTokenNeeded = 165,
  kMsgLoginDisabled = 166,
  kMsgUnknownMessageCharset = 180,
  kMsgCharacterOutsideCodePage = 181,
  kMsgConnectionEnded = 190,
  kMsgCannotConnectTo = 200,
  kMsgConnectRefused = 201,
  kMsgHostNotFound = 202,
  kMsgHostUnreachable = 203,
  kMsgHostSilent = 204,
  kMsgConnectFailed = 205,
  kMsgPlainWhereTlsExpected = 206,
  kMsgNoGreeting = 207,
  kMsgNeverConnected = 208,
  kMsgAuthOnlyAfterStartTls = 209,
  kMsgMessageTooLarge = 220,
  kMsgDsnNotOffered = 221,
  kMsgAddressNeedsSmtpUtf8 = 222,
  kMsgAddressNotSendable = 223,
  kMsgInvalidDeliveryNotify = 224,
  kMsgInvalidEnvelopeId = 225,
  kMsgNoSuchUid = 230,
  kMsgCannotMoveSafely = 231,
  kMsgUnknownMailboxRole = 232,
  kMsgNoSuchPart = 233,
  kMsgInvalidPartNumber = 234,
  kMsgUidlFailed = 235,
  kMsgInvalidMessageArgument = 236,
  kMsgCannotWriteFile = 237,
  kMsgMessageNotInAnswer = 238,
  kMsgNoSender = 240,
  kMsgNoRecipients = 241,
  kMsgAddressNotForCommand = 242,
  kMsgRecipientRefused = 243,
  kMsgSignInTimedOut = 244,
  kMsgPlainSignInRefused = 245,
  kMsgServerWords = 246,
  kMsgOAuthError = 300,
  kMsgOAuthErrorCode = 301,
  kMsgOAuthHttpStatus = 302,
  kMsgOAuthUnreachable = 303,
  kMsgOAuthNoToken = 304,
  kMsgOAuthSettingMissing = 305,
  kMsgOAuthNoTokenYet = 306,
  kMsgOAuthOutOfOrder = 307,
  kMsgOAuthWaitTimedOut = 308,
  kMsgOAuthStateMismatch = 309,
  kMsgOAuthBadAddress = 310,
  kMsgTokenFileUnreadable = 311,
  kMsgTokenFileUnwritable = 312,
  kMsgOAuthListenerFailed = 313,
  kMsgOAuthNoBrowser = 314,
  kMsgOAuthUnsafeText = 315,
  kMsgAccessTokenNeededFor = 316,
};

// The text of a message, or nullptr when the list has no such number.
const char* FindMessageText(int id);

// The text of a message, or "Unknown Error" when the list has no such number.
std::string MessageText(int id);

// The number of the message a failure's text was made from (a format filled
// in counts as made from it); kMsgServerWords for text no message makes (a
// server's own words), 0 for no text.
int MessageIdOfText(std::string_view text);

// A message used as a printf-style format with the given arguments.
std::string FormatMessageText(int id, ...);

}  // namespace vesk
