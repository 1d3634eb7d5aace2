#include "app/access_check.h"

#include "app/operator_ui.h"

namespace drvnt {

int CheckAccess(std::string_view fieldText, std::string_view closePassword) {
  if (closePassword.empty())
    return kAccessAccepted;
  return fieldText == closePassword ? kAccessAccepted : kAccessWrongPassword;
}

}  // namespace drvnt
