#pragma once
// Placeholder until the console front end lands.
