// Controller discovery at start-up.
#pragma once

// Sets the table up and discovers every unit behind ports 0 to 14.
void InitCtlrTable();
