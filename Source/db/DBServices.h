#pragma once

class CLumoApp;

// Adds the database services to the application's start-up and shutdown: the preferences and the
// sort cache.
void addDatabaseServices(CLumoApp& app);
