#pragma once
// The access dialog's password check: what "OK" answers for the text in the password field.
// Exact comparison of the two texts; never trims, pads or parses them.

#include <string_view>

namespace drvnt {

// kAccessAccepted when the close password is empty or the field holds exactly the password,
// otherwise kAccessWrongPassword. (Cancelling the dialog is kAccessCancelled, decided by the
// dialog itself.)
int CheckAccess(std::string_view fieldText, std::string_view closePassword);

}  // namespace drvnt
