#include "korvantyr/korvantyr.h"

namespace korvan {
namespace tyr {

// Built during static initialisation of the library; nothing reads it before the library is
// loaded, and nothing writes it afterwards.
const std::map<JointGroup, std::string> kJointGroupNames{
    {JointGroup::UNKNOWN, "UNKNOWN"}, {JointGroup::ALL, "ALL"},
    {JointGroup::ARMS, "ARMS"},       {JointGroup::ARM_1, "ARM_1"},
    {JointGroup::ARM_2, "ARM_2"},     {JointGroup::EXT_AXIS, "EXT_AXIS"},
};

}  // namespace tyr
}  // namespace korvan
