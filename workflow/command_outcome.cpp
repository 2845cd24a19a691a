#include "workflow/command_outcome.hpp"

command_outcome refuse_visibly(app_state& app, const std::string& text, bool failed)
{
    app.target->show_error(text);
    return {false, text, failed};
}
