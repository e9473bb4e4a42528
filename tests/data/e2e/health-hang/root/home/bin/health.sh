#!/bin/sh
sleep 60
