// Flash image fixtures: see fixture.h
