// completion bash: a bash completion script made from the commands and options themselves, so
// it never falls behind them.
#include <cstdio>
#include <cstdlib>

#include "commands.h"

namespace vorncli {

namespace {

// "--account --key -v ...": every name of the app's own options.
std::string optionWords(const CLI::App &app) {
    std::string words;
    for (const CLI::Option *option : app.get_options()) {
        for (const std::string &name : option->get_lnames()) {
            words += " --" + name;
        }
        for (const std::string &name : option->get_snames()) {
            words += " -" + name;
        }
    }
    return words;
}

std::string commandWords(const CLI::App &app) {
    std::string words;
    for (const CLI::App *command : app.get_subcommands({})) {
        words += " " + command->get_name();
    }
    return words;
}

void printBash(const CLI::App &app) {
    printf("# bash completion for vorn-azure, made by `vorn-azure completion bash`\n"
           "_vorn_azure() {\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
           "    local commands='%s' globals='%s'\n"
           "    local command='' word options=''\n"
           "    for word in \"${COMP_WORDS[@]:1:COMP_CWORD-1}\"; do\n"
           "        case \" $commands \" in *\" $word \"*) command=$word; break ;; esac\n"
           "    done\n"
           "    case $prev in\n"
           "        --profile) COMPREPLY=($(compgen -W \"$(vorn-azure config profiles "
           "2>/dev/null)\" -- \"$cur\")); return ;;\n"
           "    esac\n"
           "    case $command in\n",
           commandWords(app).c_str() + 1, optionWords(app).c_str() + 1);
    for (const CLI::App *command : app.get_subcommands({})) {
        printf("        %s) options='%s%s' ;;\n", command->get_name().c_str(),
               optionWords(*command).c_str(), commandWords(*command).c_str());
    }
    printf("    esac\n"
           "    if [[ -z $command && $cur != -* ]]; then\n"
           "        COMPREPLY=($(compgen -W \"$commands\" -- \"$cur\"))\n"
           "    elif [[ $cur == -* ]]; then\n"
           "        COMPREPLY=($(compgen -W \"$globals $options\" -- \"$cur\"))\n"
           "    elif [[ $command == config && $prev == config ]]; then\n"
           "        COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
           "    fi\n"
           "}\n"
           "complete -o default -F _vorn_azure vorn-azure\n");
}

} // namespace

void addCompletionCommand(CommandTable &commands) {
    const CLI::App &app = commands.app();
    auto shell = std::make_shared<std::string>();
    CLI::App *cmd = commands.add("completion", "print the shell completion script (bash)",
                                 [&app, shell] {
                                     printBash(app);
                                     return EXIT_SUCCESS;
                                 });
    cmd->add_option("SHELL", *shell, "the shell")->required()->check(CLI::IsMember({"bash"}));
}

} // namespace vorncli
