#pragma once

// Each test file runs its Qt Test classes; main() adds up their failures.
int RunCommandTests(int argc, char** argv);
int RunDialogTests(int argc, char** argv);
int RunFileListTests(int argc, char** argv);
int RunHelpTests(int argc, char** argv);
int RunMainWindowTests(int argc, char** argv);
int RunSettingsTests(int argc, char** argv);
int RunViewerTests(int argc, char** argv);
int RunWelcomeTests(int argc, char** argv);
int RunUserRunTests(int argc, char** argv);
int RunLanguageTests(int argc, char** argv);
int RunImagingTests(int argc, char** argv);
